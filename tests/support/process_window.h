// Top-level windows of one class that belong to one process. Tests share
// the desktop with other tests' trays, so a search by class name alone may
// find another process's window.
#pragma once
#include <windows.h>

namespace qs::test {

inline HWND FindProcessWindow(const wchar_t* windowClass, DWORD pid) {
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, windowClass, nullptr)) != nullptr;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid) return w;
    }
    return nullptr;
}

}  // namespace qs::test
