// Starts and stops a hosted core together with its pipe server: the pipe
// comes up after the core and goes down before it, so no command reaches a
// stopped core.
#pragma once

namespace qs {

bool RunCore(bool serviceMode);
void StopCore();

}  // namespace qs
