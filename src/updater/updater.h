// The tray's updater: the check and the download run on threads of their
// own and report to a window only through WM_UPDATE_RESULT; the boxes, the
// pending installer and its launch belong to the UI thread.
//
// What the tray calls:
//   TIMER_UPDATE_CHECK (once, 4 s)  StartUpdateCheck(mainWindow, false)
//   menu 3011, settings button 1103 StartUpdateCheck(mainWindow, true)
//   WM_UPDATE_RESULT in MainDlg     HandleUpdateResult(hwnd, wParam, lParam, notice)
//   menu Exit (3002), first step    RunPendingInstaller()
//   after creating the main window  CreateInstallerCloseWindow(mainWindow, WM_COMMAND, 3002, 0)
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>

#include "updater/update_check.h"

namespace qs {

inline constexpr UINT WM_UPDATE_RESULT = WM_APP + 44;

// Class of the tray's hidden top-level window that the installer closes
// (by FindWindow and WM_CLOSE) before it replaces the program's files.
// installer/quillstone.nsi spells the same literal.
inline constexpr wchar_t kInstallerCloseWindowClass[] = L"QuillstoneInstallerClose";

// Parameters the installer is started with, now or at exit.
inline constexpr wchar_t kInstallerParameters[] = L"/SILENT /NORESTART /restartapp";

// The update server's origin this build talks to, ending in "/".
const std::string& UpdateBaseUrl();

// Nothing when window is null or a check is running; else a detached check.
void StartUpdateCheck(HWND window, bool interactive);
// Nothing when a download is running; else a detached download.
void StartDownload(HWND window, const std::string& url, const std::string& sha256Hex);
// Whether a check or a download thread has not finished yet.
bool UpdateCheckRunning();
bool UpdateDownloadRunning();

// Posts WM_UPDATE_RESULT (wParam 0) with the record when the window exists;
// otherwise, or when the post fails, deletes the record.
void PostResult(HWND window, UpdateResult* record);

// The handler of WM_UPDATE_RESULT: takes ownership of the record in lParam
// and deletes it. Kind 0 goes to showNotice (the footer), the others to boxes.
using NoticeFn = std::function<void(const std::wstring& text)>;
void HandleUpdateResult(HWND owner, WPARAM wParam, LPARAM lParam, const NoticeFn& showNotice);

// Launches the installer kept for exit after checking its SHA-256 again;
// nothing when none is pending. A file that changed is dropped with the
// hash box; a launch that fails shows its error and stays pending.
void RunPendingInstaller(HWND owner = nullptr);
// The installer kept for exit ("" when none).
std::wstring PendingInstaller();
// Forgets it without launching (the installer itself is closing the tray).
void DiscardPendingInstaller();

// IDYES for the first button, anything else otherwise. A task dialog when
// the system has one, else a Yes/No message box.
int AskTwoChoices(HWND owner, const std::wstring& caption, const std::wstring& instruction,
                  const std::wstring& content, const std::wstring& firstButton,
                  const std::wstring& secondButton);

// TaskDialogIndirect is looked up at run time (comctl32 6 only; Windows 7
// without the manifest lacks it). Tests put in their own; nullptr restores
// the lookup.
using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
void SetTaskDialogFn(TaskDialogIndirectFn fn);

// How an installer is started: ShellExecuteExW "open" with
// kInstallerParameters. On failure error is the launch's Win32 error text.
bool LaunchInstaller(const std::wstring& path, std::string& error);

enum class InstallerLaunch { kLaunched, kChanged, kFailed };
// Checks the file against sha256Hex (an empty digest never matches) while
// holding it against writes, then launches it. kChanged: it is not the
// installer that was downloaded; kFailed: error says why it did not start.
InstallerLaunch LaunchVerifiedInstaller(const std::wstring& path, const std::string& sha256Hex,
                                        std::string& error);

// The rollout identifier kept in %LOCALAPPDATA%\Quillstone\rollout.id,
// created on first use; "" without LOCALAPPDATA.
std::string RolloutId();

// 64 lower-case hex digits, or "" when CryptoAPI cannot compute it.
std::string Sha256Hex(const std::string& bytes);

// "%TEMP%\Quillstone\update\setup.exe"
std::wstring DownloadedInstallerPath();

// A hidden top-level window of kInstallerCloseWindowClass. Its WM_CLOSE
// forgets a pending installer and posts (message, wParam, lParam) to target,
// which takes the tray's Exit path. Destroy it with DestroyWindow.
HWND CreateInstallerCloseWindow(HWND target, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace qs
