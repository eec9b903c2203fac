// Runs the built quillstone.exe (QS_EXE_PATH, set by CMake) from a test.
#pragma once
#include <windows.h>

#include <string>

#include "foundation/text.h"

namespace qs::test {

// The build path as Windows sees it: Wine maps the Unix root to drive Z:.
inline std::wstring WindowsPath(std::string unixPath) {
    for (char& c : unixPath)
        if (c == '/') c = '\\';
    return L"Z:" + Utf8ToWide(unixPath);
}

inline std::wstring ExePath() { return WindowsPath(QS_EXE_PATH); }

// A command line's exit code, or -1 when it could not be started or did
// not end in time.
inline int RunCommand(std::wstring cmd, DWORD timeoutMs = 60000) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

// The exe's exit code, or -1 when it could not be started or did not end in time.
inline int RunExe(const std::wstring& args, DWORD timeoutMs = 60000) {
    return RunCommand(L"\"" + ExePath() + L"\" " + args, timeoutMs);
}

}  // namespace qs::test
