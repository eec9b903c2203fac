#include "tray/autostart.h"

#include <windows.h>

#include <vector>

#include "foundation/handles.h"

namespace qs {
namespace {

std::wstring RunningExePath() {
    // Long paths exist; grow until the name fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::wstring AutostartCommand(const std::wstring& exePath) {
    return L"\"" + exePath + L"\" /tray";
}

void SetAutostart(bool enabled) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kAutostartKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &raw, nullptr) != ERROR_SUCCESS) {
        return;
    }
    UniqueKey key(raw);
    if (!enabled) {
        RegDeleteValueW(key.get(), kAutostartValue);
        return;
    }
    const std::wstring path = RunningExePath();
    if (path.empty()) return;
    const std::wstring data = AutostartCommand(path);
    RegSetValueExW(key.get(), kAutostartValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

bool AutostartEnabled() {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kAutostartKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) {
        return false;
    }
    UniqueKey key(raw);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), kAutostartValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return false;
    }
    return size > 2;
}

}  // namespace qs
