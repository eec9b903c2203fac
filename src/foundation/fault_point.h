// Named places where a crash test stops the process: between two writes
// whose order decides whether a receipt is lost or printed twice. Only test
// builds (QUILLSTONE_FAULT_POINTS) carry them; in the shipped build
// FaultPoint is an empty inline function and the names vanish.
#pragma once
#include <functional>

namespace qs {

#ifdef QS_FAULT_POINTS
// Ends the process at once (as a crash would) when `name` is the point armed
// in the file "faultpoint" of the data root, read once per process; a test
// handler set below is called instead when there is one.
void FaultPoint(const char* name);
// In-process tests observe or act at a point without dying; empty restores
// the file-armed behaviour.
void SetFaultPointHandler(std::function<void(const char* name)> handler);
#else
inline void FaultPoint(const char*) {}
#endif

}  // namespace qs
