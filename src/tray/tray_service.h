// The two ways the tray brings the core up: starting the installed service
// and re-running the executable elevated to install it. Both can be
// replaced, so a window test never starts a service or relaunches itself.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace qs {

// StartCoreService unless a replacement is set; an empty function restores it.
using StartServiceFn = std::function<bool()>;
void SetStartServiceFn(StartServiceFn fn);
bool StartServiceForTray();

// ShellExecuteExW "runas" of exePath with parameters, shown normally, no UI
// on failure, no process handle kept. Returns 0 when launched, otherwise the
// Win32 error (ERROR_CANCELLED when the user declined elevation).
using ElevatedLaunchFn = std::function<DWORD(const std::wstring& exePath, const std::wstring& parameters)>;
void SetElevatedLaunchFn(ElevatedLaunchFn fn);
DWORD LaunchElevated(const std::wstring& exePath, const std::wstring& parameters);

// The running executable's full path, empty when it does not fit in 260
// characters or cannot be read.
std::wstring RunningExePathShort();

}  // namespace qs
