// "/install" and "/uninstall": run the operation, tell the user unless told
// to be quiet (a failure is always shown), and give the exit code.
#pragma once
#include <functional>
#include <string>

namespace qs {

using ServiceOperation = std::function<bool(std::string& error)>;

// 0 on success, 1 on failure.
int RunInstallMode(bool install, bool quiet, const ServiceOperation& operation);

}  // namespace qs
