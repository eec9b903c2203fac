// The one HTTP(S) client: WinHTTP in synchronous mode, one session reused
// for the client's life, one connection and request handle per call.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qs {

struct HttpResponse {
    int32_t status = 0;      // 0 when no status was obtained
    std::string body;        // as received, for any status; empty on failure
    std::string error;       // empty when a status was obtained
    bool timedOut = false;   // send or receive failed with ERROR_WINHTTP_TIMEOUT
};

class HttpClient {
public:
    // Opens a WinHTTP session (agent, access type); returns the handle or
    // null with the thread's last error set. Replaceable so the fallback from
    // automatic proxy discovery to a direct session can be exercised.
    using SessionOpener = std::function<void*(const std::wstring& userAgent, uint32_t accessType)>;

    // Bodies larger than this are refused rather than gathered without bound.
    static constexpr int64_t kDefaultMaxResponseBytes = 256LL * 1024 * 1024;

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    void SetTimeout(int32_t ms);
    void SetUserAgent(const std::string& userAgent);
    // The one extra request header; an empty value switches it off.
    void SetHeader(const std::string& name, const std::string& value);
    void SetMaxResponseBytes(int64_t maxBytes);
    void SetSessionOpener(SessionOpener opener);
    // Closes the session; every later session is opened without a proxy.
    void ResetToDirect();
    // 4 (automatic proxy) until a fallback or ResetToDirect, then 1.
    uint32_t AccessType() const;

    HttpResponse Get(const std::string& url);
    // An empty body goes out as "{}".
    HttpResponse PostJson(const std::string& url, const std::string& body);
    // Multipart POST of one file, streamed in 64 KiB chunks. An empty file
    // name stands for the base name of the path.
    HttpResponse UploadFile(const std::string& url, const std::wstring& filePath,
                            const std::string& fieldName, const std::string& contentType,
                            const std::string& fileName);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qs
