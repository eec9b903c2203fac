// Facts about the process and the operating system.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

// True when the process token reports elevation. A process that is not
// elevated gets false in every session, session 0 included: without
// elevation it cannot change printer ports, so callers must refuse early.
bool IsElevated();
// "Win32(5) Access denied." ; code 0 means GetLastError(), "OK" when that is 0 too.
std::string Win32ErrorText(uint32_t code);
// "Windows 10.0 build 19045" from the kernel's own version query;
// "Windows (unknown)" when that is unavailable.
std::wstring OsVersionText();
// "4.3.0" from the executable's version resource, cached; "" without one.
std::wstring AppVersion();
// The same for any file: "" when it has no version resource.
std::wstring FileVersionText(const std::wstring& path);
// "major.minor.build" of a fixed file version given as its two 32-bit halves
// (4.3.0 for 4.3.0.x).
std::wstring FormatFileVersion(uint32_t versionMS, uint32_t versionLS);
std::wstring ModuleDir();
// The full path of the running executable; "" when it cannot be read.
std::wstring ModulePath();
// The path up to, not including, its last "\" or "/"; ".\" without one.
std::wstring FolderOfPath(const std::wstring& path);

}  // namespace qs
