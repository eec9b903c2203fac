; The Quillstone installer. Built by scripts/package:
;   makensis -INPUTCHARSET UTF8 -DARCH=x86|amd64 -DVERSION=4.3.0.0 -DVERSION3=4.3.0
;            -DEXE=<quillstone.exe> -DOUTFILE=<setup.exe> quillstone.nsi
; x86 is the product; amd64 exists so the installer can be exercised where
; only 64-bit Windows code runs.
;
; Switches: /S or /SILENT (no pages), /NORESTART (accepted; this installer
; never restarts Windows), /restartapp (start the tray again afterwards,
; without the installer's elevation). The uninstaller takes /S.

Unicode true
!ifndef VERSION | VERSION3 | EXE | OUTFILE | ARCH
  !error "VERSION, VERSION3, EXE, OUTFILE and ARCH must be defined"
!endif
!if "${ARCH}" == "amd64"
  Target amd64-unicode
!else if "${ARCH}" == "x86"
  Target x86-unicode
!else
  !error "ARCH must be x86 or amd64"
!endif

!define PRODUCT_KEY "Quillstone"
!define SERVICE_NAME "Quillstone"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT_KEY}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The tray's hidden window that takes its Exit path on WM_CLOSE; the same
; literal as kInstallerCloseWindowClass in src/updater/updater.h.
!define TRAY_CLOSE_CLASS "QuillstoneInstallerClose"

SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true
OutFile "${OUTFILE}"
!if "${ARCH}" == "amd64"
  InstallDir "$PROGRAMFILES64\Quillstone"
!else
  InstallDir "$PROGRAMFILES\Quillstone"
!endif
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
Name "$(AppName)"
BrandingText "$(AppName) ${VERSION3}"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Quillstone"
VIAddVersionKey /LANG=1033 "CompanyName" "Quillstone"
VIAddVersionKey /LANG=1033 "FileDescription" "Quillstone setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Quillstone"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define MUI_ABORTWARNING
!define MUI_LANGDLL_REGISTRY_ROOT HKLM
!define MUI_LANGDLL_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "InstallerLanguage"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\quillstone.exe"
!define MUI_FINISHPAGE_RUN_FUNCTION LaunchTray
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString AppName ${LANG_SIMPCHINESE} "维澜云打印助手"
LangString AppName ${LANG_ENGLISH} "Verano Cloud Print"
LangString RemoveData ${LANG_SIMPCHINESE} "同时删除数据（数据库、打印数据和日志）"
LangString RemoveData ${LANG_ENGLISH} "Also remove data (database, print data and logs)"
LangString ServiceFailed ${LANG_SIMPCHINESE} "打印服务未能安装，请以管理员身份重新运行安装程序。"
LangString ServiceFailed ${LANG_ENGLISH} "The print service could not be installed. Run the setup again as an administrator."
LangString FileBusy ${LANG_SIMPCHINESE} "无法替换程序文件："
LangString FileBusy ${LANG_ENGLISH} "Could not replace the program file: "

Var RestartApp

; --- shared by installer and uninstaller ------------------------------------

; Waits for process $0 (an id) to end; ends it after timeoutMs.
!macro WaitProcessFn UN
Function ${UN}WaitProcess
  Exch $1   ; timeout in ms
  Exch
  Exch $0   ; process id
  Push $2
  Push $3
  ; SYNCHRONIZE | PROCESS_TERMINATE
  System::Call 'kernel32::OpenProcess(i 0x00100001, i 0, i r0) p.r2'
  ${If} $2 P<> 0
    System::Call 'kernel32::WaitForSingleObject(p r2, i r1) i.r3'
    ${If} $3 <> 0
      DetailPrint "Ending process $0"
      System::Call 'kernel32::TerminateProcess(p r2, i 1) i'
      System::Call 'kernel32::WaitForSingleObject(p r2, i 5000) i'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r2) i'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd
!macroend

; Stops the service through the service control manager and waits until its
; process has ended, not only until the stop was accepted: the exe must be
; free before it is replaced or removed.
!macro StopServiceFn UN
Function ${UN}StopService
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  ; SC_MANAGER_CONNECT
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p.r0'
  ${If} $0 P<> 0
    ; SERVICE_STOP | SERVICE_QUERY_STATUS
    System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE_NAME}", i 0x0024) p.r1'
    ${If} $1 P<> 0
      System::Alloc 36   ; SERVICE_STATUS_PROCESS
      Pop $2
      System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r2, i 36, *i .r4) i.r3'
      ${If} $3 <> 0
        System::Call '*$2(i, i .r3, i, i, i, i, i, i .r4, i)'
        ; 1 = SERVICE_STOPPED; $4 = the service's process id
        ${If} $3 <> 1
          DetailPrint "Stopping service ${SERVICE_NAME} (process $4)"
          System::Call 'advapi32::ControlService(p r1, i 1, p r2) i'
          ${If} $4 <> 0
            Push $4
            Push 30000
            Call ${UN}WaitProcess
          ${EndIf}
        ${EndIf}
      ${EndIf}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1) i'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0) i'
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend

; Asks every running tray to quit through its hidden window and waits for it.
!macro CloseTrayFn UN
Function ${UN}CloseTray
  Push $0
  Push $1
  Push $2
  StrCpy $2 0
  ${Do}
    FindWindow $0 "${TRAY_CLOSE_CLASS}"
    ${If} $0 P= 0
    ${OrIf} $2 >= 8
      ${Break}
    ${EndIf}
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1) i'
    DetailPrint "Closing the tray application (process $1)"
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $1 <> 0
      Push $1
      Push 10000
      Call ${UN}WaitProcess
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend

!insertmacro WaitProcessFn ""
!insertmacro WaitProcessFn "un."
!insertmacro StopServiceFn ""
!insertmacro StopServiceFn "un."
!insertmacro CloseTrayFn ""
!insertmacro CloseTrayFn "un."

; --- installer ------------------------------------------------------------------

Function .onInit
  SetShellVarContext all
!if "${ARCH}" == "amd64"
  SetRegView 64
!endif
  StrCpy $RestartApp 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SILENT" $R1
  ${IfNot} ${Errors}
    SetSilent silent
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/restartapp" $R1
  ${IfNot} ${Errors}
    StrCpy $RestartApp 1
  ${EndIf}
  ; /NORESTART needs nothing: no step here asks for a reboot.
  ${IfNot} ${Silent}
    !insertmacro MUI_LANGDLL_DISPLAY
  ${EndIf}
FunctionEnd

; Starts the tray as the signed-in user rather than with the installer's
; elevation: explorer.exe runs unelevated and launches its argument.
Function LaunchTray
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\quillstone.exe"'
FunctionEnd

Section "-Install"
  SetOutPath "$INSTDIR"
  Call StopService
  Call CloseTray

  ; Anything else still running the old exe (a console run) keeps it open;
  ; a running exe can be renamed, so move it aside rather than fail.
  Delete "$INSTDIR\quillstone.old"
  ClearErrors
  Delete "$INSTDIR\quillstone.exe"
  ${If} ${Errors}
    Rename "$INSTDIR\quillstone.exe" "$INSTDIR\quillstone.old"
  ${EndIf}
  ClearErrors
  File "/oname=quillstone.exe" "${EXE}"
  ${If} ${Errors}
    DetailPrint "$(FileBusy)$INSTDIR\quillstone.exe"
    SetErrorLevel 2
    Abort
  ${EndIf}
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Quillstone"
  CreateShortcut "$SMPROGRAMS\Quillstone\$(AppName).lnk" "$INSTDIR\quillstone.exe" "" "$INSTDIR\quillstone.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "$(AppName)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION3}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quillstone"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quillstone.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallerLanguage" "$LANGUAGE"

  ; Registers the service again (pointing at this exe) and starts it.
  DetailPrint "quillstone.exe /install /quiet"
  ExecWait '"$INSTDIR\quillstone.exe" /install /quiet' $0
  ${If} $0 <> 0
    DetailPrint "$(ServiceFailed) ($0)"
    SetErrorLevel 3
    ${IfNot} ${Silent}
      MessageBox MB_ICONEXCLAMATION|MB_OK "$(ServiceFailed)"
    ${EndIf}
  ${EndIf}

  ${If} $RestartApp = 1
    Call LaunchTray
  ${EndIf}
SectionEnd

; --- uninstaller ------------------------------------------------------------------

Function un.onInit
  SetShellVarContext all
!if "${ARCH}" == "amd64"
  SetRegView 64
!endif
  !insertmacro MUI_UNGETLANGUAGE
FunctionEnd

Section "-un.Program"
  Call un.StopService
  Call un.CloseTray
  ; Removes the service and gives the printer queues their old ports back.
  DetailPrint "quillstone.exe /uninstall /quiet"
  ExecWait '"$INSTDIR\quillstone.exe" /uninstall /quiet' $0
  DetailPrint "exit code $0"

  Delete "$INSTDIR\quillstone.exe"
  Delete "$INSTDIR\quillstone.old"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Quillstone\*.lnk"
  RMDir "$SMPROGRAMS\Quillstone"
  DeleteRegValue HKCU "${RUN_KEY}" "Quillstone"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; Off unless ticked: the database, spool files and logs survive a removal.
Section /o "un.$(RemoveData)" SecRemoveData
  RMDir /r "$APPDATA\Quillstone"
  SetShellVarContext current
  RMDir /r "$LOCALAPPDATA\Quillstone"
  SetShellVarContext all
SectionEnd
