// The link to the cloud print server: device tokens (cached), device status,
// upload and submission of a print job, and the job's status.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "cloud/http_client.h"

namespace qs {

struct CloudResult {
    int32_t code = 0;        // 0, a negative local code, or the server's code
    std::string message;     // empty on success
    bool timedOut = false;   // the last HTTP failure was a time-out
    std::string jobId;       // cloud job id of a successful submission
};

struct DeviceStatus {
    bool ok = false;
    std::string typeName;
    std::string state;
    int32_t status = -1;
};

struct TokenEntry {
    std::string token;
    int64_t expiresAtMs = 0;
    std::string verifyCode;
};

// The origin this build talks to (QUILLSTONE_CLOUD_BASE_URL), no trailing slash.
std::string DefaultCloudBaseUrl();

// How a CloudClient is aimed and timed; every member has a working default.
struct CloudClientOptions {
    // The verification code stored for a serial number ("" when none); the
    // core answers it from the device table.
    using StoredCode = std::function<std::string(const std::string& sn)>;
    using Clock = std::function<int64_t()>;
    // Sleeps ms milliseconds, or less once *stop (when given) becomes true.
    using Sleeper = std::function<void(int32_t ms, const std::atomic<bool>* stop)>;

    std::string baseUrl;          // empty: DefaultCloudBaseUrl()
    StoredCode storedCode;        // empty: no stored codes
    Clock now;                    // empty: NowEpochMs
    Sleeper sleep;                // empty: a real sleep that wakes on stop
    int32_t requestTimeoutMs = 30000;
    int32_t uploadTimeoutMs = 120000;
};

class CloudClient {
public:
    using Options = CloudClientOptions;
    using StoredCode = Options::StoredCode;
    using Clock = Options::Clock;
    using Sleeper = Options::Sleeper;

    static constexpr int64_t kTokenMarginMs = 300000;
    static constexpr int64_t kDefaultTokenLifetimeS = 86400;
    // Longer lifetimes are cut to this (a year).
    static constexpr int64_t kMaxTokenLifetimeS = 365LL * 86400;
    static constexpr int32_t kMaxResponseBytes = 4 * 1024 * 1024;

    CloudClient() : CloudClient(Options()) {}
    explicit CloudClient(Options options);
    CloudClient(const CloudClient&) = delete;
    CloudClient& operator=(const CloudClient&) = delete;

    const std::string& BaseUrl() const { return baseUrl_; }

    CloudResult VerifyDevice(const std::string& sn, const std::string& verifyCode);
    // An empty verification code stands for the one stored for the device.
    bool GetDeviceToken(const std::string& sn, const std::string& verifyCode, std::string& token,
                        CloudResult& result);
    DeviceStatus GetDeviceStatus(const std::string& sn);
    // The job's status word, "" on any failure.
    std::string GetJobStatus(const std::string& sn, const std::string& jobId);
    CloudResult UploadAndSubmit(const std::wstring& spoolPath, const std::string& sn,
                                int64_t localJobId);
    // 0 accepted, 1 failed or cancelled, 2 undecided when the time ran out
    // (or stop was raised between polls). timeoutMs is wall time on the
    // client's clock, requests included.
    int WaitForJob(const std::string& sn, const std::string& jobId, int32_t timeoutMs,
                   std::string& status, const std::atomic<bool>* stop = nullptr);
    CloudResult ForgetToken(const std::string& sn);

    // Direct access for tests and diagnostics.
    HttpClient& Http() { return http_; }
    bool CachedToken(const std::string& sn, TokenEntry& out);

private:
    std::string Url(const std::string& path) const { return baseUrl_ + path; }
    void SetAuthorization(const std::string& token);

    std::string baseUrl_;
    StoredCode storedCode_;
    Clock now_;
    Sleeper sleep_;
    int32_t requestTimeoutMs_;
    int32_t uploadTimeoutMs_;
    HttpClient http_;
    // Guards the token cache and every window in which http_ carries an
    // Authorization header (and the token request, which must go out without one).
    std::mutex mutex_;
    std::map<std::string, TokenEntry> tokens_;
};

}  // namespace qs
