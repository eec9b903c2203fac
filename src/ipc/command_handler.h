// The commands the tray sends over the pipe: one JSON request in, one JSON
// reply out, each command mapped to an operation of the core.
#pragma once
#include <string>

#include "ipc/ipc_server.h"

namespace qs {

class Core;

// Refusal of a command that only an administrator may send.
inline constexpr char kAdminRequired[] = "此操作需要管理员权限，请以管理员身份运行";

// Replies {"ok":true,"data":...} or {"ok":false,"error":"..."}, printed
// compactly; never an empty text. Safe to call from several pipe workers at
// once: it keeps no state and reaches only the given core.
// "cleanup", "portselftest", "submit" and "diag" (which no window sends and
// which delete or write on the machine's behalf) need caller.isAdmin; the
// rest serves every caller the pipe admits.
std::string HandleCommand(Core& core, const std::string& request, const IpcCaller& caller);
// An in-process caller (tests, the core's own process): trusted as an
// administrator. The pipe never reaches this form.
std::string HandleCommand(Core& core, const std::string& request);

// The pipe server's handler against the process-wide core.
std::string HandleCommand(const std::string& request, const IpcCaller& caller);

}  // namespace qs
