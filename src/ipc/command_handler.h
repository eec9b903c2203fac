// The commands the tray sends over the pipe: one JSON request in, one JSON
// reply out, each command mapped to an operation of the core.
#pragma once
#include <string>

namespace qs {

class Core;

// Replies {"ok":true,"data":...} or {"ok":false,"error":"..."}, printed
// compactly; never an empty text. Safe to call from several pipe workers at
// once: it keeps no state and reaches only the given core.
std::string HandleCommand(Core& core, const std::string& request);

// The same against the process-wide core: the pipe server's handler.
std::string HandleCommand(const std::string& request);

}  // namespace qs
