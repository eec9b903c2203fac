// How the cloud client reads and writes the server's JSON and URLs, kept
// free of Win32 so each rule can be checked on its own.
#pragma once
#include <cstdint>
#include <string>

struct cJSON;

namespace qs {

// Every byte outside A-Z a-z 0-9 - . _ ~ becomes %XX (upper-case hex).
std::string PercentEncode(const std::string& text);

// A parsed response body; an empty body counts as "{}", invalid JSON as no
// object at all (every field absent).
class JsonBody {
public:
    explicit JsonBody(const std::string& body);
    ~JsonBody();
    JsonBody(const JsonBody&) = delete;
    JsonBody& operator=(const JsonBody&) = delete;

    const cJSON* root() const { return root_; }
    // The member "data" when the response has one, else the top level.
    const cJSON* Fields() const;
    // The member "data" only (null when absent or not an object).
    const cJSON* Data() const;

private:
    cJSON* root_ = nullptr;
};

// A JSON string member, else fallback.
std::string ReadString(const cJSON* object, const char* name, const std::string& fallback = "");
// A JSON number (truncated toward zero) or a decimal-integer string; anything
// else, or a value out of range, gives fallback.
int64_t ReadInt64(const cJSON* object, const char* name, int64_t fallback);
int32_t ReadInt32(const cJSON* object, const char* name, int32_t fallback);

struct ErrorBody {
    bool found = false;
    int32_t code = -1;
    std::string message;
};
// The optional {"error":{"code":..,"message":..}} of a refused request.
ErrorBody ReadErrorBody(const std::string& body);

}  // namespace qs
