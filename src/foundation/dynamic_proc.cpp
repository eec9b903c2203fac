#include "foundation/dynamic_proc.h"

#include <string>

namespace qs {

SystemLibrary::SystemLibrary(const wchar_t* dllName) {
    // A full path instead of LOAD_LIBRARY_SEARCH_SYSTEM32, which Windows 7
    // without its loader update rejects.
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::wstring path(dir, n);
    path += L"\\";
    path += dllName;
    module_ = LoadLibraryW(path.c_str());
}

SystemLibrary::~SystemLibrary() {
    if (module_) FreeLibrary(module_);
}

}  // namespace qs
