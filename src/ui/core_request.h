// Every request a window makes to the core, and the small readers that turn
// its JSON replies into values without trusting their types.
#pragma once
#include <cJSON.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qs {

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// The pipe the UI talks to. Tests aim it at a fake core of their own (or at
// a name nobody serves, which makes the core absent); an empty name restores
// the core's real pipe. UI thread only.
void SetCorePipeName(const std::wstring& name);
const std::wstring& CorePipeName();

// Probes the UI's pipe: true when a server instance is free within waitMs.
bool ProbeUiCore(uint32_t waitMs);

// Sends {"cmd":cmd, ...} with the string, number and boolean members of
// params (consumed; other members are dropped) and returns the parsed reply,
// null when it does not parse. When the core does not answer a 120 ms probe
// the reply is {"ok":false,"error":"打印服务未运行或未安装"} and the pipe
// is not touched further.
JsonPtr CoreRequest(const char* cmd, JsonPtr params, uint32_t waitMs);

// Reads a flag the way the core's replies and settings write them: absent →
// fallback; boolean; number → non-zero; string → "1", "true" or "True";
// anything else → fallback.
bool JsonFlag(const cJSON* object, const char* key, bool fallback);

// The text a window shows for a failed reply: empty when ok is true,
// "服务无响应" for no reply, the reply's error, else "操作失败".
std::string ReplyError(const cJSON* reply);

// A number member truncated toward zero, or a string that begins with a
// decimal integer (leading blanks and a sign allowed, the rest ignored);
// fallback when absent, of another type, without digits or out of range.
int32_t JsonInt(const cJSON* object, const char* key, int32_t fallback);
int64_t JsonInt64(const cJSON* object, const char* key, int64_t fallback);

// The UTF-8 string member, or empty.
std::string JsonString(const cJSON* object, const char* key);

}  // namespace qs
