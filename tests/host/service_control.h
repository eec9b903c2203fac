// What the whole-product tests do to the installed service and its ports:
// start and stop it, find and end its process, read its memory, parse pipe
// replies and send print data to a loopback port.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <cJSON.h>

#include <cstdint>
#include <string>

#include "foundation/handles.h"
#include "host/service.h"
#include "ipc/ipc_client.h"
#include "support/wait.h"

namespace qs::test {

inline std::string Request(const std::string& json, uint32_t timeoutMs = 3000) {
    return IpcRequest(json, timeoutMs);
}

inline bool PingAnswers(uint32_t timeoutMs = 3000) {
    return Request("{\"cmd\":\"ping\"}", timeoutMs).find("\"ok\":true") != std::string::npos;
}

// A parsed pipe reply; data() is its "data" member (null on any failure).
struct Reply {
    explicit Reply(const std::string& text) : root(cJSON_Parse(text.c_str())) {}
    ~Reply() { cJSON_Delete(root); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    cJSON* data() const { return cJSON_GetObjectItemCaseSensitive(root, "data"); }
    cJSON* root;
};

// Connects to 127.0.0.1:port, sends the bytes and ends the sending side.
inline bool SendReceipt(int port, const std::string& bytes) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return false;
    if (send(s.get(), bytes.data(), static_cast<int>(bytes.size()), 0) != static_cast<int>(bytes.size()))
        return false;
    shutdown(s.get(), SD_SEND);
    return true;
}

// control 0 starts the service; the state it must reach within 30 s.
inline bool ControlServiceState(DWORD control, DWORD wanted) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    bool ok = false;
    if (service) {
        SERVICE_STATUS st;
        if (control == 0) StartServiceW(service, 0, nullptr);
        else ControlService(service, control, &st);
        ok = WaitFor([&] {
            SERVICE_STATUS now{};
            return QueryServiceStatus(service, &now) && now.dwCurrentState == wanted;
        }, 30000);
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    return ok;
}

// The service's status with its process id; zeroes when it is not installed.
inline SERVICE_STATUS_PROCESS ServiceStatus() {
    SERVICE_STATUS_PROCESS st{};
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
    DWORD needed = 0;
    if (service) QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st), sizeof(st), &needed);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return st;
}

// Working set (or its peak) of a process in MiB; -1 when it cannot be read.
inline double WorkingSetMiB(DWORD pid, bool peak = false) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    if (!process || !GetProcessMemoryInfo(process.get(), &pmc, sizeof(pmc))) return -1;
    const SIZE_T bytes = peak ? pmc.PeakWorkingSetSize : pmc.WorkingSetSize;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

inline double ServiceWorkingSetMiB() { return WorkingSetMiB(ServiceStatus().dwProcessId); }

// Ends the service process the hard way (no stop request, no clean-up);
// true once the process is gone.
inline bool TerminateServiceProcess() {
    const DWORD pid = ServiceStatus().dwProcessId;
    if (pid == 0) return false;
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process || !TerminateProcess(process.get(), 9)) return false;
    return WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
}

}  // namespace qs::test
