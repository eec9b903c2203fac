#include "ui/core_request.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "ipc/ipc_client.h"
#include "ipc/ipc_protocol.h"

namespace qs {
namespace {

std::wstring& PipeNameSlot() {
    static std::wstring name = kIpcPipeName;
    return name;
}

const cJSON* Member(const cJSON* object, const char* key) {
    if (!cJSON_IsObject(object) || key == nullptr) return nullptr;
    return cJSON_GetObjectItemCaseSensitive(object, key);
}

// strtoll's reading (leading white space, a sign, digits, the rest ignored)
// with its failures turned into "no value".
bool ParseLeadingInteger(const char* text, long long* value) {
    if (text == nullptr) return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return false;
    *value = parsed;
    return true;
}

// A JSON number as a whole number in [lo, hi], truncated toward zero; NaN and
// values beyond the range have no integer reading.
bool NumberInRange(double number, double lo, double hiExclusive, double* truncated) {
    if (std::isnan(number)) return false;
    double t = std::trunc(number);
    if (t < lo || t >= hiExclusive) return false;
    *truncated = t;
    return true;
}

}  // namespace

void SetCorePipeName(const std::wstring& name) {
    PipeNameSlot() = name.empty() ? std::wstring(kIpcPipeName) : name;
}

const std::wstring& CorePipeName() { return PipeNameSlot(); }

bool ProbeUiCore(uint32_t waitMs) { return ProbeCore(waitMs, CorePipeName()); }

JsonPtr CoreRequest(const char* cmd, JsonPtr params, uint32_t waitMs) {
    if (!ProbeUiCore(120)) {
        return JsonPtr(cJSON_Parse(IpcErrorReply(kIpcCoreNotRunning).c_str()));
    }
    JsonPtr request(cJSON_CreateObject());
    if (request) {
        cJSON_AddStringToObject(request.get(), "cmd", cmd ? cmd : "");
        if (cJSON_IsObject(params.get())) {
            for (const cJSON* item = params->child; item != nullptr; item = item->next) {
                if (item->string == nullptr) continue;
                if (!cJSON_IsString(item) && !cJSON_IsNumber(item) && !cJSON_IsBool(item)) {
                    continue;
                }
                cJSON* copy = cJSON_Duplicate(item, false);
                if (copy) cJSON_AddItemToObject(request.get(), item->string, copy);
            }
        }
    }
    params.reset();

    std::string text = "{}";
    if (request) {
        char* printed = cJSON_PrintUnformatted(request.get());
        if (printed) {
            text = printed;
            cJSON_free(printed);
        }
    }
    std::string answer = IpcRequest(text, waitMs, CorePipeName());
    if (answer.empty()) answer = "{}";
    return JsonPtr(cJSON_ParseWithLength(answer.data(), answer.size()));
}

bool JsonFlag(const cJSON* object, const char* key, bool fallback) {
    const cJSON* item = Member(object, key);
    if (item == nullptr) return fallback;
    if (cJSON_IsBool(item)) return cJSON_IsTrue(item);
    if (cJSON_IsNumber(item)) return item->valuedouble != 0;
    if (cJSON_IsString(item)) {
        std::string s = item->valuestring ? item->valuestring : "";
        return s == "1" || s == "true" || s == "True";
    }
    return fallback;
}

std::string ReplyError(const cJSON* reply) {
    if (reply == nullptr) return kIpcNoReply;
    if (JsonFlag(reply, "ok", false)) return std::string();
    std::string error = JsonString(reply, "error");
    return error.empty() ? std::string("操作失败") : error;
}

int32_t JsonInt(const cJSON* object, const char* key, int32_t fallback) {
    const cJSON* item = Member(object, key);
    if (cJSON_IsNumber(item)) {
        double t = 0;
        if (!NumberInRange(item->valuedouble, -2147483648.0, 2147483648.0, &t)) return fallback;
        return static_cast<int32_t>(t);
    }
    if (cJSON_IsString(item)) {
        long long v = 0;
        if (!ParseLeadingInteger(item->valuestring, &v)) return fallback;
        if (v < INT32_MIN || v > INT32_MAX) return fallback;
        return static_cast<int32_t>(v);
    }
    return fallback;
}

int64_t JsonInt64(const cJSON* object, const char* key, int64_t fallback) {
    const cJSON* item = Member(object, key);
    if (cJSON_IsNumber(item)) {
        double t = 0;
        // 2^63 is exact in a double; everything below it converts.
        if (!NumberInRange(item->valuedouble, -9223372036854775808.0, 9223372036854775808.0, &t)) {
            return fallback;
        }
        return static_cast<int64_t>(t);
    }
    if (cJSON_IsString(item)) {
        long long v = 0;
        if (!ParseLeadingInteger(item->valuestring, &v)) return fallback;
        return static_cast<int64_t>(v);
    }
    return fallback;
}

std::string JsonString(const cJSON* object, const char* key) {
    const cJSON* item = Member(object, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return std::string();
    return item->valuestring;
}

}  // namespace qs
