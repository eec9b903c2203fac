// Where the core keeps its files: one data root with fixed names below it.
#pragma once
#include <string>

namespace qs {

// ProgramData\Quillstone for the service, LocalAppData\Quillstone otherwise.
void InitDataRoot(bool serviceMode);
std::wstring DataRoot();
std::wstring DataDir();    // created on request
std::wstring LogsDir();    // created on request
std::wstring SpoolDir();   // created on request
std::wstring DatabasePath();

}  // namespace qs
