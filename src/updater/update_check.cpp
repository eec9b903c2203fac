#include "updater/update_check.h"

#include <cJSON.h>

#include <climits>

#include "foundation/text.h"
#include "ui/core_request.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// 64 hexadecimal digits, any case.
bool IsSha256Hex(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace

std::vector<int32_t> ParseVersion(const std::string& text) {
    std::vector<int32_t> parts;
    int64_t number = 0;
    bool hasDigits = false, seenDigit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            // A run of digits too long for an int stays at the largest one
            // rather than wrapping into a small (older-looking) number.
            number = number * 10 + (c - '0');
            if (number > INT32_MAX) number = INT32_MAX;
            hasDigits = seenDigit = true;
        } else if (c == '.') {
            if (hasDigits) parts.push_back(static_cast<int32_t>(number));
            number = 0;
            hasDigits = false;
        } else if (c == 'v' || c == 'V') {
            continue;
        } else if ((c == ' ' || c == '\t') && !seenDigit) {
            continue;
        } else {
            break;
        }
    }
    if (hasDigits) parts.push_back(static_cast<int32_t>(number));
    return parts;
}

bool IsNewer(const std::string& a, const std::string& b) {
    std::vector<int32_t> x = ParseVersion(a), y = ParseVersion(b);
    if (x.empty()) return false;
    size_t n = x.size() > y.size() ? x.size() : y.size();
    for (size_t i = 0; i < n; ++i) {
        int32_t l = i < x.size() ? x[i] : 0;
        int32_t r = i < y.size() ? y[i] : 0;
        if (l != r) return l > r;
    }
    return false;
}

uint32_t Fnv1a32(const std::string& bytes) {
    uint32_t h = 0x811C9DC5u;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

bool InRollout(const std::string& rolloutId, int32_t percent) {
    if (percent >= 100) return true;
    if (percent < 1) return false;
    if (rolloutId.empty()) return true;
    return Fnv1a32(rolloutId) % 100u < static_cast<uint32_t>(percent);
}

bool IsDevelopmentRun(const std::wstring& exePath) {
    std::wstring lower = exePath;
    for (wchar_t& c : lower)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return lower.find(L"\\build\\bin\\") != std::wstring::npos;
}

std::string HostOfUrl(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of(":/?#", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

UpdateManifest ParseManifest(const std::string& body) {
    UpdateManifest m;
    cJSON* root = cJSON_Parse(body.empty() ? "{}" : body.c_str());
    if (cJSON_IsObject(root)) {
        m.version = JsonString(root, "version");
        m.url = JsonString(root, "url");
        m.sha256 = JsonString(root, "sha256");
        m.notes = JsonString(root, "notes");
        m.minVersion = JsonString(root, "minVersion");
        m.forced = JsonFlag(root, "forced", false);
        m.rolloutPercent = JsonInt(root, "rolloutPercent", 100);
    }
    cJSON_Delete(root);
    return m;
}

std::string RequestFailureText(const HttpResponse& response) {
    if (!response.error.empty()) return response.error;
    return "HTTP " + std::to_string(response.status);
}

CheckOutcome DecideCheck(const HttpResponse& response, const CheckInput& input) {
    CheckOutcome out;
    auto post = [&](int32_t kind) {
        out.result = std::make_unique<UpdateResult>();
        out.result->resultKind = kind;
        return out.result.get();
    };

    if (!response.error.empty() || response.status < 200 || response.status > 299) {
        std::string text = RequestFailureText(response);
        out.logLevel = 2;
        out.logLine = "检查更新失败：" + text;
        if (input.interactive) post(kUpdateFailed)->text = text;
        return out;
    }

    UpdateManifest m = ParseManifest(response.body);
    const std::string& current = input.currentVersion;
    bool forced = m.forced;
    if (!m.minVersion.empty() && IsNewer(m.minVersion, current)) forced = true;

    bool underBase = !input.baseUrl.empty() && LowerAscii(m.url).rfind(input.baseUrl, 0) == 0;
    // The installer runs elevated: an offer without a digest to check it
    // against is no offer.
    if (!m.version.empty() && underBase && IsSha256Hex(m.sha256) && IsNewer(m.version, current)) {
        bool skipped = false;
        if (!forced && m.rolloutPercent < 100)
            skipped = m.rolloutPercent < 1 ||
                      !InRollout(input.rolloutId ? input.rolloutId() : std::string(), m.rolloutPercent);
        if (skipped) {
            out.logLine = "检查更新：灰度未命中，本次跳过 " + m.version;
            if (input.interactive) post(kUpdateUpToDate)->version = current;
            return out;
        }
        UpdateResult* r = post(kUpdateAvailable);
        r->forced = forced;
        r->version = m.version;
        r->downloadUrl = m.url;
        r->sha256Hex = LowerAscii(m.sha256);
        r->text = m.notes;
        out.logLine = "检查更新：发现 " + m.version + (forced ? "（强制）" : "");
        return out;
    }
    if (!m.version.empty() && !IsNewer(m.version, current)) {
        out.logLine = "检查更新：已是最新 " + current;
        if (input.interactive) post(kUpdateUpToDate)->version = current;
        return out;
    }
    out.logLevel = 2;
    out.logLine = "检查更新：清单无效或地址不在 " + HostOfUrl(input.baseUrl);
    if (input.interactive) post(kUpdateFailed)->text = TrUtf8(TxtUpdateUnavailable);
    return out;
}

}  // namespace qs
