// The printer queues, ports and drivers of the local machine, as the spooler
// lists them: in its order, neither sorted nor de-duplicated, empty for none
// or for a failure.
#pragma once
#include <string>
#include <vector>

namespace qs {

std::vector<std::wstring> ListPrinters();  // local and connected queues
std::vector<std::wstring> ListPorts();
std::vector<std::wstring> ListDrivers();  // current environment

}  // namespace qs
