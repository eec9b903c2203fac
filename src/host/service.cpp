#include "host/service.h"

#include <sddl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <type_traits>

#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "host/core_host.h"
#include "printers/printer_ports.h"
#include "store/config_store.h"

namespace qs {
namespace {

struct ScHandleCloser {
    void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using UniqueScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

constexpr wchar_t kServiceSddl[] =
    L"D:(A;;CCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;RPLC;;;IU)";

// Shared by the main routine and the control handler.
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
std::atomic<bool> g_stopRequested{false};
HANDLE g_stopEvent = nullptr;

void Report(DWORD state, DWORD exitCode, DWORD checkpoint, DWORD waitHint) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwCheckPoint = checkpoint;
    g_status.dwWaitHint = waitHint;
    SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, void*, void*) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return NO_ERROR;
    // Stop pending goes out before the stop is signalled; the main routine
    // does the stopping and keeps reporting progress while it lasts.
    if (!g_stopRequested.exchange(true)) {
        Report(SERVICE_STOP_PENDING, 0, 1, 5000);
        SetEvent(g_stopEvent);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ServiceControlHandler, nullptr);
    if (!g_statusHandle) return;
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_START_PENDING, 0, 1, 10000);

    if (!RunCore(true)) {
        Report(SERVICE_STOPPED, 1, 0, 0);
        return;
    }
    if (!g_stopRequested) Report(SERVICE_RUNNING, 0, 0, 0);
    WaitForSingleObject(g_stopEvent, INFINITE);

    // The core waits for its threads and for connections in progress; the
    // checkpoints tell the service control manager it is still moving.
    std::atomic<bool> stopped{false};
    std::thread progress([&stopped] {
        DWORD checkpoint = 1;
        while (!stopped) {
            Sleep(1000);
            if (!stopped) Report(SERVICE_STOP_PENDING, 0, ++checkpoint, 5000);
        }
    });
    StopCore();
    stopped = true;
    progress.join();
    Report(SERVICE_STOPPED, 0, 0, 0);
}

bool QueryState(SC_HANDLE service, DWORD& state) {
    SERVICE_STATUS_PROCESS st{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st),
                              sizeof(st), &needed))
        return false;
    state = st.dwCurrentState;
    return true;
}

void RestorePrinterPorts() {
    InitDataRoot(true);
    if (!FileExists(DatabasePath())) return;
    ConfigStore store;
    if (!store.Open(DatabasePath())) return;
    for (const DeviceRecord& d : store.ListDevices()) {
        if (d.printer_driver.empty() || d.prev_port.empty()) continue;
        std::wstring queue = Utf8ToWide(d.printer_driver);
        if (PrinterExists(queue)) AttachPort(queue, Utf8ToWide(d.prev_port));
    }
}

OpenServiceFn& OpenServiceOverride() {
    static OpenServiceFn fn;
    return fn;
}

SC_HANDLE OpenServiceForRemoval(SC_HANDLE manager) {
    const DWORD access = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
    if (OpenServiceOverride()) return OpenServiceOverride()(manager, access);
    return OpenServiceW(manager, kServiceName, access);
}

}  // namespace

void SetOpenServiceFnForTest(OpenServiceFn fn) { OpenServiceOverride() = std::move(fn); }

void StopServiceAndWait(SC_HANDLE service) {
    DWORD state = 0;
    if (!QueryState(service, state) || state == SERVICE_STOPPED) return;
    SERVICE_STATUS ignored;
    ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    for (int i = 0; i < 80; ++i) {
        Sleep(100);
        if (!QueryState(service, state) || state == SERVICE_STOPPED) return;
    }
}

bool SetupService(std::string& error) {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        error = "OpenSCManager 失败（需要管理员）";
        return false;
    }
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" /service";

    UniqueScHandle service(CreateServiceW(
        manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(),
        nullptr, nullptr, L"Spooler\0", nullptr, nullptr));
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS)
        service.reset(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        error = "CreateService 失败";
        return false;
    }

    StopServiceAndWait(service.get());
    // Refreshes an existing service; type, start, dependencies and account stay.
    ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                         commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                         kServiceDisplayName);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1, &sd,
                                                             nullptr)) {
        SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, sd);
        LocalFree(sd);
    }
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);

    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 5000},
                            {SC_ACTION_RESTART, 30000},
                            {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 86400;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

    if (!StartServiceW(service.get(), 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        error = "服务已安装但启动失败";
        return false;
    }
    return true;
}

bool RemoveService(std::string& error) {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        error = "OpenSCManager 失败（需要管理员）";
        return false;
    }
    {
        UniqueScHandle service(OpenServiceForRemoval(manager.get()));
        const DWORD openError = service ? ERROR_SUCCESS : GetLastError();
        // Only a service that is not there counts as removed; a standard
        // user is refused here and must not be told the service is gone.
        if (!service && openError != ERROR_SERVICE_DOES_NOT_EXIST) {
            error = (openError == ERROR_ACCESS_DENIED ? "OpenService 失败（需要管理员）："
                                                      : "OpenService 失败：") +
                    Win32ErrorText(openError);
            return false;
        }
        if (service) {
            StopServiceAndWait(service.get());
            if (!DeleteService(service.get())) error = "删除服务失败";
        }
    }
    manager.reset();
    RestorePrinterPorts();
    PurgePortsAndPrinters();
    return error.empty();
}

bool RunServiceDispatcher() {
    wchar_t name[] = L"Quillstone";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

}  // namespace qs
