#include "cloud/cloud_wire.h"

#include <cJSON.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace qs {
namespace {

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

bool ParseDecimal(const char* text, int64_t& out) {
    if (!text || !*text) return false;
    const char* p = text;
    if (*p == '-' || *p == '+') ++p;
    if (!*p) return false;
    for (const char* q = p; *q; ++q) {
        if (*q < '0' || *q > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (errno == ERANGE || !end || *end) return false;
    out = v;
    return true;
}

}  // namespace

std::string PercentEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (Unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

JsonBody::JsonBody(const std::string& body)
    : root_(cJSON_ParseWithLength(body.empty() ? "{}" : body.data(),
                                  body.empty() ? 2 : body.size())) {}

JsonBody::~JsonBody() { cJSON_Delete(root_); }

const cJSON* JsonBody::Fields() const {
    if (!cJSON_IsObject(root_)) return nullptr;
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(root_, "data");
    return data ? data : root_;
}

const cJSON* JsonBody::Data() const {
    if (!cJSON_IsObject(root_)) return nullptr;
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(root_, "data");
    return cJSON_IsObject(data) ? data : nullptr;
}

std::string ReadString(const cJSON* object, const char* name, const std::string& fallback) {
    if (!cJSON_IsObject(object)) return fallback;
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (!cJSON_IsString(item) || !item->valuestring) return fallback;
    return item->valuestring;
}

int64_t ReadInt64(const cJSON* object, const char* name, int64_t fallback) {
    if (!cJSON_IsObject(object)) return fallback;
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (cJSON_IsNumber(item)) {
        double v = std::trunc(item->valuedouble);
        // 2^63 itself does not fit; every double below it does.
        if (!std::isfinite(v) || v < -9223372036854775808.0 || v >= 9223372036854775808.0) {
            return fallback;
        }
        return static_cast<int64_t>(v);
    }
    int64_t parsed = 0;
    if (cJSON_IsString(item) && ParseDecimal(item->valuestring, parsed)) return parsed;
    return fallback;
}

int32_t ReadInt32(const cJSON* object, const char* name, int32_t fallback) {
    // A sentinel outside the 32-bit range tells "absent" from a real value.
    constexpr int64_t kAbsent = std::numeric_limits<int64_t>::min();
    int64_t v = ReadInt64(object, name, kAbsent);
    if (v == kAbsent || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max()) {
        return fallback;
    }
    return static_cast<int32_t>(v);
}

ErrorBody ReadErrorBody(const std::string& body) {
    ErrorBody out;
    JsonBody json(body);
    if (!cJSON_IsObject(json.root())) return out;
    const cJSON* error = cJSON_GetObjectItemCaseSensitive(json.root(), "error");
    if (!error) return out;
    out.found = true;
    out.code = ReadInt32(error, "code", -1);
    out.message = ReadString(error, "message");
    if (out.message.empty()) {
        const cJSON* code = cJSON_GetObjectItemCaseSensitive(error, "code");
        if (cJSON_IsString(code) && code->valuestring) out.message = code->valuestring;
    }
    return out;
}

}  // namespace qs
