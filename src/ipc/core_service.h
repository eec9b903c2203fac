// Starting the installed core service from the tray, which needs no
// elevation: the service grants interactive users start and query rights.
#pragma once

namespace qs {

// True when the service is running, starting, or was started now; false
// when it is not installed or cannot be started. Does not wait for it.
bool StartCoreService();

}  // namespace qs
