// Facts about the process and the operating system.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

bool IsElevated();
// "Win32(5) Access denied." ; code 0 means GetLastError(), "OK" when that is 0 too.
std::string Win32ErrorText(uint32_t code);
std::wstring OsVersionText();
// "4.3.0" from the executable's version resource, cached; "" without one.
std::wstring AppVersion();
std::wstring ModuleDir();

}  // namespace qs
