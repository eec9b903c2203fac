#include "ble/ble_name_filter.h"

#include <windows.h>

#include <cwctype>

#include "foundation/handles.h"

namespace qs {

namespace {

const wchar_t* const kSetupMarkers[] = {
    L"配置模式", L"开启配置模式", L"进入配置模式", L"配网模式",
    L"CONFIG MODE", L"CONFIG_MODE", L"SETUP MODE", L"SETUP_MODE",
};

std::wstring Upper(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(c));
    return out;
}

// Longer than any sane list; a value above it is not ours to trust.
constexpr DWORD kMaxPrefixValueBytes = 64 * 1024;

}  // namespace

const std::vector<std::wstring>& DefaultBlePrefixes() {
    // "QS" is what the simulated devices advertise; the rest are the name
    // starts of the printer and box families served.
    static const std::vector<std::wstring> prefixes = {
        L"QS", L"QN", L"QP", L"QB", L"VC", L"VP", L"VB", L"CP", L"CB", L"LP", L"RP", L"TP",
    };
    return prefixes;
}

std::vector<std::wstring> ParseMultiSz(const wchar_t* data, size_t units) {
    std::vector<std::wstring> out;
    if (!data) return out;
    size_t start = 0;
    for (size_t i = 0; i <= units; ++i) {
        if (i == units || data[i] == L'\0') {
            if (i > start) out.emplace_back(data + start, i - start);
            start = i + 1;
        }
    }
    return out;
}

std::vector<std::wstring> MergeBlePrefixes(const std::vector<std::wstring>& extra) {
    std::vector<std::wstring> out = DefaultBlePrefixes();
    for (const std::wstring& raw : extra) {
        std::wstring entry = Upper(raw);
        if (entry.size() != 2) continue;
        bool known = false;
        for (const std::wstring& have : out) known = known || have == entry;
        if (!known) out.push_back(entry);
    }
    return out;
}

std::vector<std::wstring> LoadBlePrefixes() {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quillstone", 0, KEY_QUERY_VALUE, &raw) !=
        ERROR_SUCCESS) {
        return DefaultBlePrefixes();
    }
    UniqueKey key(raw);
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), L"BlePrefixes", nullptr, &type, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ || bytes == 0 || bytes > kMaxPrefixValueBytes) {
        return DefaultBlePrefixes();
    }
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = bytes;
    if (RegQueryValueExW(key.get(), L"BlePrefixes", nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &got) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ) {
        return DefaultBlePrefixes();
    }
    return MergeBlePrefixes(ParseMultiSz(buffer.data(), got / sizeof(wchar_t)));
}

bool PassesNameFilter(const std::wstring& name, const std::vector<std::wstring>& prefixes) {
    if (name.size() < 2) return false;
    const std::wstring upper = Upper(name);
    for (const wchar_t* marker : kSetupMarkers) {
        if (upper.find(marker) != std::wstring::npos) return false;
    }
    for (const std::wstring& prefix : prefixes) {
        if (prefix.size() == 2 && upper.compare(0, 2, prefix) == 0) return true;
    }
    return false;
}

}  // namespace qs
