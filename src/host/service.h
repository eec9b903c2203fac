// The Windows service "Quillstone": installation, removal, the service's
// main routine and its control handler.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace qs {

constexpr wchar_t kServiceName[] = L"Quillstone";
constexpr wchar_t kServiceDisplayName[] = L"维澜云打印";

bool SetupService(std::string& error);
bool RemoveService(std::string& error);
void StopServiceAndWait(SC_HANDLE service);
// How RemoveService opens the service (OpenServiceW, last error set on
// failure). Wine grants every process every right, so a test plays a
// standard user's refusal through this; an empty function restores the real call.
using OpenServiceFn = std::function<SC_HANDLE(SC_HANDLE manager, DWORD access)>;
void SetOpenServiceFnForTest(OpenServiceFn fn);
// Hands the calling thread to the service control dispatcher; returns when
// the service has stopped, or at once outside the service control manager.
bool RunServiceDispatcher();

}  // namespace qs
