#include "tray/tray_service.h"

#include <shellapi.h>

#include <utility>

#include "ipc/core_service.h"

namespace qs {
namespace {

StartServiceFn& StartSlot() {
    static StartServiceFn fn;
    return fn;
}

ElevatedLaunchFn& LaunchSlot() {
    static ElevatedLaunchFn fn;
    return fn;
}

DWORD ShellRunAs(const std::wstring& exePath, const std::wstring& parameters) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = exePath.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) return 0;
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

}  // namespace

void SetStartServiceFn(StartServiceFn fn) { StartSlot() = std::move(fn); }

bool StartServiceForTray() {
    const StartServiceFn& fn = StartSlot();
    return fn ? fn() : StartCoreService();
}

void SetElevatedLaunchFn(ElevatedLaunchFn fn) { LaunchSlot() = std::move(fn); }

DWORD LaunchElevated(const std::wstring& exePath, const std::wstring& parameters) {
    const ElevatedLaunchFn& fn = LaunchSlot();
    return fn ? fn(exePath, parameters) : ShellRunAs(exePath, parameters);
}

std::wstring RunningExePathShort() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return std::wstring();
    return std::wstring(path, n);
}

}  // namespace qs
