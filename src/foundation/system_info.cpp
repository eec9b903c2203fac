#include "foundation/system_info.h"

#include <windows.h>
#include <vector>

#include "foundation/dynamic_proc.h"
#include "foundation/handles.h"
#include "foundation/text.h"

namespace qs {

bool IsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    UniqueHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
        return false;
    }
    return elevation.TokenIsElevated != 0;
}

std::string Win32ErrorText(uint32_t code) {
    DWORD value = code != 0 ? code : GetLastError();
    if (value == 0) return "OK";
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, value, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n > 0 && buffer) text = WideToUtf8(std::wstring(buffer, n));
    if (buffer) LocalFree(buffer);
    const char* kSpace = "\t\n\v\f\r ";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        text.clear();
    } else {
        text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);
    }
    return Format("Win32(%lu) %s", static_cast<unsigned long>(value), text.c_str());
}

std::wstring OsVersionText() {
    // RtlGetVersion is not subject to the compatibility shims that make
    // GetVersionEx lie to programs without a manifest.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto rtlGetVersion = FindLoadedProc<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
    if (!rtlGetVersion) return L"Windows (unknown)";
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion(&info) != 0) return L"Windows (unknown)";
    return FormatWide(L"Windows %lu.%lu build %lu", static_cast<unsigned long>(info.dwMajorVersion),
                      static_cast<unsigned long>(info.dwMinorVersion),
                      static_cast<unsigned long>(info.dwBuildNumber));
}

std::wstring FormatFileVersion(uint32_t versionMS, uint32_t versionLS) {
    return FormatWide(L"%u.%u.%u", static_cast<unsigned>(HIWORD(versionMS)),
                      static_cast<unsigned>(LOWORD(versionMS)), static_cast<unsigned>(HIWORD(versionLS)));
}

std::wstring FileVersionText(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::wstring();
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::wstring();
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLen = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLen) || !fixed ||
        fixedLen < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
        return std::wstring();
    }
    return FormatFileVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

std::wstring AppVersion() {
    static const std::wstring cached = FileVersionText(ModulePath());
    return cached;
}

std::wstring ModulePath() {
    // Grow past MAX_PATH rather than cut a long path short: a truncated path
    // names the wrong folder.
    std::vector<wchar_t> buffer(MAX_PATH);
    while (buffer.size() <= 32768) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
    return std::wstring();
}

std::wstring FolderOfPath(const std::wstring& path) {
    size_t pos = path.find_last_of(L"\\/");
    if (pos == std::wstring::npos) return L".\\";
    return path.substr(0, pos);
}

std::wstring ModuleDir() { return FolderOfPath(ModulePath()); }

}  // namespace qs
