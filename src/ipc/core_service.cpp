#include "ipc/core_service.h"

#include <windows.h>

namespace qs {

bool StartCoreService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    bool result = false;
    SC_HANDLE service = OpenServiceW(manager, L"Quillstone", SERVICE_START | SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS st{};
        if (QueryServiceStatus(service, &st) &&
            (st.dwCurrentState == SERVICE_RUNNING || st.dwCurrentState == SERVICE_START_PENDING)) {
            result = true;
        } else {
            result = StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

}  // namespace qs
