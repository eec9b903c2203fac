// Entry point of quillstone.exe: one executable for the service, the
// console mode, install and uninstall, and the tray application.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "foundation/dynamic_proc.h"
#include "foundation/text.h"
#include "host/command_line.h"
#include "host/core_host.h"
#include "host/install_mode.h"
#include "host/service.h"
#include "host/tray_start.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"

namespace {

void MakeDpiAware() {
    using SetContextFn = BOOL(WINAPI*)(HANDLE);
    using SetAwareFn = BOOL(WINAPI*)();
    auto setContext = qs::FindLoadedProc<SetContextFn>(L"user32.dll", "SetProcessDpiAwarenessContext");
    // -4: per-monitor aware, version 2.
    if (setContext && setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
    if (auto setAware = qs::FindLoadedProc<SetAwareFn>(L"user32.dll", "SetProcessDPIAware")) setAware();
}

std::vector<std::wstring> Arguments() {
    std::vector<std::wstring> args;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    MakeDpiAware();
    const qs::ModeFlags flags = qs::ParseCommandLine(Arguments());
    switch (qs::ChooseMode(flags)) {
    case qs::HostMode::kService:
        qs::RunServiceDispatcher();
        return 0;
    case qs::HostMode::kInstall:
        ExitProcess(static_cast<UINT>(qs::RunInstallMode(true, flags.quiet, qs::SetupService)));
    case qs::HostMode::kUninstall:
        ExitProcess(static_cast<UINT>(qs::RunInstallMode(false, flags.quiet, qs::RemoveService)));
    case qs::HostMode::kConsole:
        qs::RunCore(false);
        qs::ShowMessageBox(nullptr, L"核心已在控制台模式运行，关闭本对话框或按 Ctrl+C 结束。",
                           qs::Tr(qs::TxtAppName), MB_OK | MB_ICONINFORMATION);
        qs::StopCore();
        return 0;
    case qs::HostMode::kTray:
        break;
    }
    qs::StartTrayMode(flags.tray);
    return 0;
}
