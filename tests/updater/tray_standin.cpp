// Stands in for the running tray during an installation: it owns the
// installer-close window, keeps a downloaded installer pending for exit (as
// "Install when quitting" leaves it) and takes the Exit path when told to.
//   tray_standin.exe <pending installer path>
// Exit code 0 when it left through its Exit path; whoever ends it otherwise
// gives another code.
#include <windows.h>

#include "updater/updater.h"

namespace {

constexpr UINT kExitCommand = 3002;

HRESULT WINAPI InstallWhenQuitting(const TASKDIALOGCONFIG*, int* button, int*, BOOL*) {
    *button = IDNO;
    return S_OK;
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND && LOWORD(wParam) == kExitCommand) {
        // The tray's Exit: a pending installer would be launched here.
        qs::RunPendingInstaller();
        DestroyWindow(hwnd);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    WNDCLASSW wc{};
    wc.lpfnWndProc = MainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QsTrayStandIn";
    RegisterClassW(&wc);
    HWND main = CreateWindowW(L"QsTrayStandIn", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (!main) return 3;

    qs::SetTaskDialogFn(InstallWhenQuitting);
    auto* ready = new qs::UpdateResult;
    ready->resultKind = qs::kUpdateDownloaded;
    ready->installerPath = argv[1];
    qs::HandleUpdateResult(main, 0, reinterpret_cast<LPARAM>(ready), nullptr);
    if (qs::PendingInstaller() != argv[1]) return 4;

    HWND close = qs::CreateInstallerCloseWindow(main, WM_COMMAND, kExitCommand, 0);
    if (!close) return 5;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DestroyWindow(close);
    return 0;
}
