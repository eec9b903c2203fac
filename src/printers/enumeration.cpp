#include "printers/enumeration.h"

#include "printers/print_system.h"

namespace qs {

std::vector<std::wstring> ListPrinters() { return ActivePrintSystem().EnumPrinterNames(); }
std::vector<std::wstring> ListPorts() { return ActivePrintSystem().EnumPortNames(); }
std::vector<std::wstring> ListDrivers() { return ActivePrintSystem().EnumDriverNames(); }

}  // namespace qs
