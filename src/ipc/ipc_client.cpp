#include "ipc/ipc_client.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "foundation/handles.h"
#include "foundation/logger.h"
#include "ipc/pipe_io.h"

namespace qs {
namespace {

struct ScHandleCloser {
    void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using UniqueScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

std::mutex g_factsLock;
PipeServerFactsFn g_factsFn;

// The process id of the running core service, 0 when it does not run.
// Interactive users may query its status (the service's own descriptor).
DWORD ServiceProcessId() {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return 0;
    UniqueScHandle service(OpenServiceW(manager.get(), L"Quillstone", SERVICE_QUERY_STATUS));
    if (!service) return 0;
    SERVICE_STATUS_PROCESS st{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st),
                              sizeof(st), &needed))
        return 0;
    return st.dwCurrentState == SERVICE_STOPPED ? 0 : st.dwProcessId;
}

// The user SID of a token, copied out; empty when it cannot be read.
std::vector<BYTE> TokenUserSid(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!IsValidSid(sid)) return {};
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::vector<BYTE> ProcessUserSid(HANDLE process) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
    UniqueHandle token(raw);
    return TokenUserSid(token.get());
}

// Checks the server before anything is written to it.
bool ServerIsTheCore(HANDLE pipe) {
    ULONG processId = 0;
    if (!GetNamedPipeServerProcessId(pipe, &processId)) processId = 0;
    PipeServerFactsFn fn;
    {
        std::lock_guard<std::mutex> lock(g_factsLock);
        fn = g_factsFn;
    }
    PipeServerFacts facts = fn ? fn(processId) : ReadPipeServerFacts(processId);
    if (processId == 0) facts.processId = 0;
    if (TrustPipeServer(facts)) return true;
    LogWarn("管道的服务方不是打印服务，已拒绝：进程 " + std::to_string(processId));
    return false;
}

}  // namespace

bool TrustPipeServer(const PipeServerFacts& facts) {
    return facts.processId != 0 && (facts.isInstalledService || facts.runsAsSystem || facts.sameUser);
}

PipeServerFacts ReadPipeServerFacts(uint32_t processId) {
    PipeServerFacts facts;
    facts.processId = processId;
    if (processId == 0) return facts;
    facts.isInstalledService = ServiceProcessId() == processId;
    if (facts.isInstalledService) return facts;
    // A standard user may not read a LocalSystem process's token; that
    // server was then accepted above as the service, or is refused.
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return facts;
    std::vector<BYTE> server = ProcessUserSid(process.get());
    if (server.empty()) return facts;
    facts.runsAsSystem = IsWellKnownSid(server.data(), WinLocalSystemSid) != FALSE;
    std::vector<BYTE> self = ProcessUserSid(GetCurrentProcess());
    facts.sameUser = !self.empty() && EqualSid(server.data(), self.data());
    return facts;
}

void SetPipeServerFactsFnForTest(PipeServerFactsFn fn) {
    std::lock_guard<std::mutex> lock(g_factsLock);
    g_factsFn = std::move(fn);
}

bool ProbeCore(uint32_t timeoutMs, const std::wstring& pipeName) {
    return WaitNamedPipeW(pipeName.c_str(), timeoutMs) != FALSE;
}

std::string IpcRequest(const std::string& request, uint32_t timeoutMs,
                       const std::wstring& pipeName) {
    const bool forever = timeoutMs == NMPWAIT_WAIT_FOREVER;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD waitMs = timeoutMs;
    UniqueFile pipe;
    for (;;) {
        if (!WaitNamedPipeW(pipeName.c_str(), waitMs)) {
            return IpcErrorReply(kIpcCoreNotRunning);
        }
        // Identification only: whoever holds the pipe name cannot act as us.
        pipe.reset(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING,
                               SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                               nullptr));
        if (pipe) break;
        // Another client can take the instance the wait reported free; then
        // wait for the next one while time is left.
        ULONGLONG now = GetTickCount64();
        if (GetLastError() != ERROR_PIPE_BUSY || (!forever && now >= deadline)) {
            return IpcErrorReply(kIpcCannotConnect);
        }
        if (!forever) waitMs = static_cast<DWORD>(deadline - now);
    }

    if (!ServerIsTheCore(pipe.get())) return IpcErrorReply(kIpcUntrustedServer);

    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
        return IpcErrorReply(kIpcCannotConnect);
    }
    if (!pipe_io::WriteMessage(pipe.get(), request)) {
        return IpcErrorReply(kIpcNoReply);
    }
    std::string reply;
    if (pipe_io::ReadMessage(pipe.get(), kIpcMaxReplyBytes, &reply) !=
        pipe_io::ReadStatus::kOk) {
        return IpcErrorReply(kIpcNoReply);
    }
    return reply;
}

}  // namespace qs
