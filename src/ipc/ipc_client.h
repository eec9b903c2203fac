// The tray's side of the core's pipe: one connection per request.
#pragma once
#include <cstdint>
#include <string>

#include "ipc/ipc_protocol.h"

namespace qs {

// True when an instance of the pipe becomes free within timeoutMs.
bool ProbeCore(uint32_t timeoutMs, const std::wstring& pipeName = kIpcPipeName);

// Sends one request and returns the reply, or one of the transport's fixed
// error replies: never empty. timeoutMs covers only the wait for a free
// server instance; the reply itself is waited for as long as it takes.
std::string IpcRequest(const std::string& request, uint32_t timeoutMs,
                       const std::wstring& pipeName = kIpcPipeName);

}  // namespace qs
