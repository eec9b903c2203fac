#include "cloud/cloud_client.h"

#include <cJSON.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <memory>
#include <thread>

#include "cloud/cloud_wire.h"
#include "foundation/fault_point.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "foundation/time_util.h"

#ifndef QS_CLOUD_BASE_URL
#error "QS_CLOUD_BASE_URL comes from the QUILLSTONE_CLOUD_BASE_URL cache variable"
#endif

namespace qs {
namespace {

constexpr char kUserAgent[] = "Quillstone/4.1";
constexpr char kModelId[] = "nerova-direct-receipt";

std::string TrimSlashes(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

bool Success(int32_t status) { return status >= 200 && status <= 299; }

void RealSleep(int32_t ms, const std::atomic<bool>* stop) {
    // Short slices so a stop request ends the wait promptly.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!(stop && stop->load())) {
        auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            left, std::chrono::milliseconds(50)));
    }
}

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::string PrintCompact(const cJSON* json) {
    char* text = cJSON_PrintUnformatted(json);
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

std::string TokenRequestBody(const std::string& sn, const std::string& code) {
    JsonPtr root(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(root.get(), "machine_code", sn.c_str());
    cJSON_AddStringToObject(root.get(), "verify_code", code.c_str());
    return PrintCompact(root.get());
}

std::string SubmitBody(const std::string& sn, const std::string& code, const std::string& fileId,
                       int64_t localJobId) {
    JsonPtr root(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(root.get(), "machine_code", sn.c_str());
    cJSON_AddStringToObject(root.get(), "verify_code", code.c_str());
    cJSON_AddStringToObject(root.get(), "model_id", kModelId);
    cJSON_AddStringToObject(root.get(), "file_id", fileId.c_str());
    std::string requestId = Format("pc-%lld", static_cast<long long>(localJobId));
    cJSON_AddStringToObject(root.get(), "client_request_id", requestId.c_str());
    cJSON* options = cJSON_AddObjectToObject(root.get(), "options");
    cJSON_AddNumberToObject(options, "nerova_type", 1);
    return PrintCompact(root.get());
}

CloudResult Fail(int32_t code, const std::string& message, bool timedOut = false) {
    CloudResult r;
    r.code = code;
    r.message = message;
    r.timedOut = timedOut;
    return r;
}

int32_t ServerCodeOr(int32_t code) { return code >= 1 ? code : -1; }

}  // namespace

std::string DefaultCloudBaseUrl() { return TrimSlashes(QS_CLOUD_BASE_URL); }

CloudClient::CloudClient(Options options)
    : baseUrl_(TrimSlashes(options.baseUrl.empty() ? DefaultCloudBaseUrl() : options.baseUrl)),
      storedCode_(std::move(options.storedCode)),
      now_(options.now ? std::move(options.now) : Clock(NowEpochMs)),
      sleep_(options.sleep ? std::move(options.sleep) : Sleeper(RealSleep)),
      requestTimeoutMs_(options.requestTimeoutMs),
      uploadTimeoutMs_(options.uploadTimeoutMs) {
    http_.SetTimeout(requestTimeoutMs_);
    http_.SetUserAgent(kUserAgent);
    http_.SetMaxResponseBytes(kMaxResponseBytes);
}

void CloudClient::SetAuthorization(const std::string& token) {
    http_.SetHeader("Authorization", token.empty() ? std::string() : "Bearer " + token);
}

bool CloudClient::CachedToken(const std::string& sn, TokenEntry& out) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = tokens_.find(sn);
    if (it == tokens_.end()) return false;
    out = it->second;
    return true;
}

CloudResult CloudClient::VerifyDevice(const std::string& sn, const std::string& verifyCode) {
    std::string token;
    CloudResult result;
    GetDeviceToken(sn, verifyCode, token, result);
    return result;
}

bool CloudClient::GetDeviceToken(const std::string& sn, const std::string& verifyCode,
                                 std::string& token, CloudResult& result) {
    token.clear();
    result = CloudResult();
    if (sn.empty()) {
        result = Fail(-100, "设备序列号为空");
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto it = tokens_.find(sn);
        if (it != tokens_.end() && !it->second.token.empty() &&
            now_() < it->second.expiresAtMs - kTokenMarginMs) {
            token = it->second.token;
            return true;
        }
    }
    std::string code = verifyCode;
    if (code.empty() && storedCode_) code = storedCode_(sn);
    if (code.empty()) {
        result = Fail(-101, "缺少设备验证码，请重新添加设备");
        return false;
    }

    const std::string url = Url("/v1/auth/device-token");
    const std::string body = TokenRequestBody(sn, code);
    HttpResponse r;
    {
        // Under the mutex only so no other thread's Authorization header is
        // set on the shared client while the token request goes out.
        std::lock_guard<std::mutex> hold(mutex_);
        r = http_.PostJson(url, body);
        if (r.status == 0 && !r.timedOut) {
            LogWarn("设备校验直连重试，上次失败：" + (r.error.empty() ? std::string("无状态") : r.error));
            http_.ResetToDirect();
            r = http_.PostJson(url, body);
        }
    }
    if (r.status == 0) {
        std::string message = r.error.empty() ? std::string("无法连接打印服务器") : r.error;
        LogWarn("设备校验连接失败 " + message);
        result = Fail(-1, message, r.timedOut);
        return false;
    }
    if (r.status == 404) {
        result = Fail(-404, "打印服务器尚未开通设备校验");
        return false;
    }
    if (Success(r.status)) {
        JsonBody json(r.body);
        std::string accessToken = ReadString(json.Fields(), "access_token");
        if (accessToken.empty()) {
            result = Fail(-1, "服务器未返回 access_token");
            return false;
        }
        int64_t expiresIn = ReadInt64(json.Fields(), "expires_in", kDefaultTokenLifetimeS);
        if (expiresIn <= 0) expiresIn = kDefaultTokenLifetimeS;
        // A huge lifetime would overflow the expiry instant into the past.
        if (expiresIn > kMaxTokenLifetimeS) expiresIn = kMaxTokenLifetimeS;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            TokenEntry& entry = tokens_[sn];
            entry.token = accessToken;
            entry.verifyCode = code;
            entry.expiresAtMs = now_() + expiresIn * 1000;
        }
        token = accessToken;
        return true;
    }
    ErrorBody error = ReadErrorBody(r.body);
    std::string message = error.message;
    if (!error.found) {
        message = "设备校验失败";
    } else if (message.empty()) {
        message = Format("设备校验失败 HTTP %d", r.status);
    }
    LogWarn(Format("设备校验被拒绝 HTTP %d ", r.status) + message);
    result = Fail(ServerCodeOr(error.code), message, r.timedOut);
    return false;
}

DeviceStatus CloudClient::GetDeviceStatus(const std::string& sn) {
    DeviceStatus out;
    std::string token;
    CloudResult failure;
    if (!GetDeviceToken(sn, std::string(), token, failure)) return out;
    HttpResponse r;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        SetAuthorization(token);
        r = http_.Get(Url("/v1/pc/device-status?machine_code=" + PercentEncode(sn)));
        SetAuthorization(std::string());
    }
    if (!Success(r.status)) return out;
    JsonBody json(r.body);
    const cJSON* data = json.Data();
    if (!data) return out;
    out.typeName = ReadString(data, "type_name");
    out.state = ReadString(data, "state");
    out.status = ReadInt32(data, "status", -1);
    out.ok = true;
    return out;
}

std::string CloudClient::GetJobStatus(const std::string& sn, const std::string& jobId) {
    if (jobId.empty()) return std::string();
    std::string token;
    CloudResult failure;
    if (!GetDeviceToken(sn, std::string(), token, failure)) return std::string();
    HttpResponse r;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        SetAuthorization(token);
        r = http_.Get(Url("/v1/print-jobs/" + PercentEncode(jobId)));
        SetAuthorization(std::string());
    }
    if (!Success(r.status)) return std::string();
    JsonBody json(r.body);
    return ReadString(json.Fields(), "status");
}

CloudResult CloudClient::UploadAndSubmit(const std::wstring& spoolPath, const std::string& sn,
                                         int64_t localJobId) {
    std::string token;
    CloudResult result;
    if (!GetDeviceToken(sn, std::string(), token, result)) return result;

    std::lock_guard<std::mutex> hold(mutex_);
    std::string verifyCode;
    if (auto it = tokens_.find(sn); it != tokens_.end()) verifyCode = it->second.verifyCode;
    SetAuthorization(token);

    http_.SetTimeout(uploadTimeoutMs_);
    std::string fileName = Format("qn-%lld.bin", static_cast<long long>(localJobId));
    HttpResponse up = http_.UploadFile(Url("/v1/files"), spoolPath, "file",
                                       "application/octet-stream", fileName);
    http_.SetTimeout(requestTimeoutMs_);

    if (up.status == 0) {
        SetAuthorization(std::string());
        return Fail(-1, up.error.empty() ? std::string("文件上传失败") : up.error, up.timedOut);
    }
    if (!Success(up.status)) {
        ErrorBody error = ReadErrorBody(up.body);
        std::string message = error.message;
        if (!error.found) message = Format("文件上传失败 HTTP %d", up.status);
        SetAuthorization(std::string());
        LogWarn("print 上传文件被拒 sn=" + sn + Format(" code=%d ", error.code) + message);
        // The upload is the first request that shows a revoked token; kept,
        // it would fail every job of the device until it expires.
        if (up.status == 401) tokens_.erase(sn);
        return Fail(ServerCodeOr(error.code), message, up.timedOut);
    }
    std::string fileId;
    {
        JsonBody json(up.body);
        fileId = ReadString(json.Fields(), "file_id");
    }
    if (fileId.empty()) {
        SetAuthorization(std::string());
        return Fail(-1, "服务器未返回 file_id");
    }

    HttpResponse sub = http_.PostJson(Url("/v1/print-jobs"),
                                      SubmitBody(sn, verifyCode, fileId, localJobId));
    SetAuthorization(std::string());

    if (Success(sub.status)) {
        JsonBody json(sub.body);
        CloudResult ok;
        ok.jobId = ReadString(json.Fields(), "id");
        LogInfo("已提交到 print sn=" + sn + " job=" + ok.jobId);
        return ok;
    }
    if (sub.status == 0) {
        return Fail(-1, sub.error.empty() ? std::string("提交作业失败") : sub.error, sub.timedOut);
    }
    ErrorBody error = ReadErrorBody(sub.body);
    std::string message = error.message;
    if (!error.found) message = Format("提交作业失败 HTTP %d", sub.status);
    LogWarn("print 提交作业被拒 sn=" + sn + Format(" code=%d ", error.code) + message);
    // A rejected token must not be served again from the cache.
    if (sub.status == 401) tokens_.erase(sn);
    return Fail(ServerCodeOr(error.code), message, sub.timedOut);
}

int CloudClient::WaitForJob(const std::string& sn, const std::string& jobId, int32_t timeoutMs,
                            std::string& status, const std::atomic<bool>* stop) {
    status.clear();
    auto stopped = [stop] { return stop && stop->load(); };
    if (stopped()) return 2;
    // The limit is wall time: slow status answers count as well as the
    // pauses (which alone are what a clock that stands still shows).
    const int64_t start = now_();
    int64_t slept = 0;
    auto waited = [&] { return std::max(slept, now_() - start); };
    sleep_(1500, stop);
    slept += 1500;
    while (waited() < timeoutMs && !stopped()) {
        FaultPoint("cloud-poll");
        status = GetJobStatus(sn, jobId);
        if (status == "done" || status == "pushing" || status == "printing") return 0;
        if (status == "failed" || status == "cancelled") return 1;
        sleep_(3000, stop);
        slept += 3000;
    }
    return 2;
}

CloudResult CloudClient::ForgetToken(const std::string& sn) {
    std::lock_guard<std::mutex> hold(mutex_);
    tokens_.erase(sn);
    return CloudResult();
}

}  // namespace qs
