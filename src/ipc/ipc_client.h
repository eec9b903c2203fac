// The tray's side of the core's pipe: one connection per request.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "ipc/ipc_protocol.h"

namespace qs {

// True when an instance of the pipe becomes free within timeoutMs.
bool ProbeCore(uint32_t timeoutMs, const std::wstring& pipeName = kIpcPipeName);

// What the client learns about the process serving the pipe before it
// sends anything: anyone who could create the pipe name first would
// otherwise receive the request (a verification code, say) and answer it.
struct PipeServerFacts {
    uint32_t processId = 0;          // 0: the system could not say
    bool isInstalledService = false; // the running "Quillstone" service's process
    bool runsAsSystem = false;       // its token's user is LocalSystem
    bool sameUser = false;           // its token's user is ours (console mode)
};
// The core is the installed service, a LocalSystem process or, in console
// mode, a process of the same user; anything else is refused.
bool TrustPipeServer(const PipeServerFacts& facts);
// The facts for a server process, read from the service control manager
// and the process's token.
PipeServerFacts ReadPipeServerFacts(uint32_t processId);
// Wine runs every process as one user, so tests play a foreign server by
// replacing the fact reading; an empty function restores ReadPipeServerFacts.
using PipeServerFactsFn = std::function<PipeServerFacts(uint32_t processId)>;
void SetPipeServerFactsFnForTest(PipeServerFactsFn fn);

// Sends one request and returns the reply, or one of the transport's fixed
// error replies: never empty. A server that TrustPipeServer refuses gets
// nothing and the reply is the kIpcUntrustedServer error. timeoutMs covers only the wait for a free
// server instance; the reply itself is waited for as long as it takes.
std::string IpcRequest(const std::string& request, uint32_t timeoutMs,
                       const std::wstring& pipeName = kIpcPipeName);

}  // namespace qs
