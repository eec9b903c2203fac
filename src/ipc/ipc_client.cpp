#include "ipc/ipc_client.h"

#include <windows.h>

#include "foundation/handles.h"
#include "ipc/pipe_io.h"

namespace qs {

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
