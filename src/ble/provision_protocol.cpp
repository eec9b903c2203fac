#include "ble/provision_protocol.h"

#include <cwctype>
#include <memory>

#include <cJSON.h>

#include "ble/ble_event.h"
#include "foundation/text.h"

namespace qs {

namespace {

// A JSON number, or a string that starts with a base-10 integer.
int IntMember(const cJSON* object, const char* name, int fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (cJSON_IsNumber(item)) {
        const double v = item->valuedouble;
        if (v >= -2147483648.0 && v <= 2147483647.0) return static_cast<int>(v);
        return fallback;
    }
    if (cJSON_IsString(item) && item->valuestring) {
        const char* p = item->valuestring;
        bool negative = false;
        if (*p == '-' || *p == '+') negative = *p++ == '-';
        if (*p < '0' || *p > '9') return fallback;
        long long value = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10 + (*p - '0');
            if (value > 2147483648LL) return fallback;  // not an int any more
        }
        if (negative) value = -value;
        if (value > 2147483647LL) return fallback;
        return static_cast<int>(value);
    }
    return fallback;
}

std::wstring TextMember(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (cJSON_IsString(item) && item->valuestring) return Utf8ToWide(item->valuestring);
    return std::wstring();
}

}  // namespace

std::string EscapeField(const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    std::string out;
    out.reserve(utf8.size());
    for (unsigned char c : utf8) {
        if (c < 0x20) continue;
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(static_cast<char>(c));
    }
    return out;
}

std::string BuildWifiCommand(const std::wstring& ssid, const std::wstring& password) {
    return "{\"type\":1,\"ssid\":\"" + EscapeField(ssid) + "\",\"pwd\":\"" + EscapeField(password) +
           "\"}";
}

std::string BuildIpCommand(bool isStatic, const std::wstring& ip, const std::wstring& netmask,
                           const std::wstring& gateway, const std::wstring& dns) {
    std::string out = "{\"type\":2,\"ip_mode\":";
    out += isStatic ? '1' : '0';
    if (isStatic) {
        out += ",\"ip\":\"" + EscapeField(ip) + "\",\"netmask\":\"" + EscapeField(netmask) +
               "\",\"gateway\":\"" + EscapeField(gateway) + "\",\"dns\":\"" + EscapeField(dns) + "\"";
    }
    out += '}';
    return out;
}

bool ParseStatus(const std::string& text, ProvisionStatus* status) {
    if (!status || text.empty()) return false;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(
        cJSON_ParseWithLength(text.data(), text.size()), &cJSON_Delete);
    // Only an object can carry a status; a bare number or array is as
    // unreadable as text that is not JSON.
    if (!root || !cJSON_IsObject(root.get())) return false;
    const cJSON* object = root.get();
    ProvisionStatus parsed;
    parsed.valid = true;
    parsed.netStatus = IntMember(object, "net_status", 0);
    parsed.linkType = IntMember(object, "link_type", -1);
    parsed.ipMode = IntMember(object, "ip_mode", -1);
    const cJSON* dual = cJSON_GetObjectItemCaseSensitive(object, "dualwifi");
    parsed.hasDualWifi = dual != nullptr;
    parsed.dualWifi = cJSON_IsTrue(dual);
    parsed.ssid = TextMember(object, "ssid");
    parsed.ip = TextMember(object, "ip");
    parsed.netmask = TextMember(object, "netmask");
    parsed.gateway = TextMember(object, "gateway");
    parsed.dns = TextMember(object, "dns");
    *status = std::move(parsed);
    return true;
}

int PollInterval(const ProvisionStatus& status) {
    switch (status.netStatus) {
        case 4: return 0;
        case 2: return 1500;
        case 3: return 2000;
        default: return 3000;
    }
}

std::wstring TrimSpace(const std::wstring& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

WifiInputCheck CheckWifiInput(const std::wstring& trimmedName, const std::wstring& trimmedPassword) {
    if (trimmedName.empty()) return WifiInputCheck::kEmptyName;
    if (trimmedName.size() > kMaxSsidUnits) return WifiInputCheck::kNameTooLong;
    if (trimmedPassword.size() > kMaxPasswordUnits) return WifiInputCheck::kPasswordTooLong;
    return WifiInputCheck::kOk;
}

bool NeedsFiveGhzConfirmation(const std::wstring& trimmedName, bool dualWifiSeen) {
    if (dualWifiSeen || trimmedName.size() <= 1) return false;
    std::wstring upper = trimmedName;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return upper.find(L"5G") != std::wstring::npos;
}

bool StaticIpComplete(const std::wstring& ip, const std::wstring& netmask,
                      const std::wstring& gateway, const std::wstring& dns) {
    return !ip.empty() && !netmask.empty() && !gateway.empty() && !dns.empty();
}

bool PduSettled(int maxPdu, size_t commandBytes) {
    return static_cast<long long>(maxPdu) >= static_cast<long long>(commandBytes) + kWriteHeaderBytes ||
           maxPdu > kDefaultPdu;
}

int ClassifyWriteFailure(int maxPdu, size_t commandBytes) {
    if (maxPdu < kDefaultPdu) return ErrWriteFailed;
    if (static_cast<long long>(maxPdu) < static_cast<long long>(commandBytes) + kWriteHeaderBytes) {
        return ErrPacketTooSmall;
    }
    return ErrWriteFailed;
}

}  // namespace qs
