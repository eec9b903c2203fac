#include "tray/tray_app.h"

#include "foundation/logger.h"
#include "tray/main_dlg.h"
#include "ui/ui_text.h"

namespace qs {

bool ClaimSingleInstance(const wchar_t* mutexName, UniqueHandle* held) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, mutexName);
    const DWORD error = GetLastError();
    if (!mutex) return true;  // no mutex at all: go on as the first instance
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    if (held) held->reset(mutex);
    return true;
}

bool BringInstanceForward(const std::wstring& title) {
    // The dialog class keeps a same-titled window of another kind out.
    HWND window = FindWindowW(L"#32770", title.c_str());
    if (!window) return false;
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    return true;
}

int RunTrayMessageLoop(HWND mainWindow) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (mainWindow && IsWindow(mainWindow) && IsDialogMessageW(mainWindow, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

int RunTrayApplication(bool hidden, bool coreReachable) {
    static UniqueHandle instanceMutex;  // held until the process ends
    if (!ClaimSingleInstance(kTrayMutexName, &instanceMutex)) {
        if (!hidden) BringInstanceForward(WindowTitle());
        return 0;
    }
    HWND main = MainDlg::Create(GetModuleHandleW(nullptr));
    if (!main) {
        LogError("主窗口创建失败");
        return 1;
    }
    // Template 200 is DS_CENTER: the window starts centred.
    if (!coreReachable && !hidden) {
        ShowWindow(main, SW_SHOWNORMAL);
        SetForegroundWindow(main);
    }
    return RunTrayMessageLoop(main);
}

}  // namespace qs
