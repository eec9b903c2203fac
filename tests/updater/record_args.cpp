// Stands in for the installer: appends its command line, one line per start,
// to the file named by QS_RECORD_FILE, so a test sees how often and with
// which switches it was launched.
#include <windows.h>

#include <string>

#include "foundation/text.h"

int wmain() {
    wchar_t file[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QS_RECORD_FILE", file, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    std::string utf8 = qs::WideToUtf8(GetCommandLineW()) + "\n";
    HANDLE h = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    BOOL ok = WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(h);
    return ok ? 0 : 4;
}
