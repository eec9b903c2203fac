// CloudClient against the local fake cloud, on a settable clock and a
// recording sleeper: wire format, token cache, error mapping, the 401 rule
// and the job poll.
#include "cloud/cloud_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "foundation/fault_point.h"
#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::FakeCloudPeer;
using test::RecordedRequest;

constexpr int64_t kStart = 1700000000000LL;

class CloudClientTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake.Available()) << "QS_CLOUD_PORT not set: run under tools/peer_run.py";
        fake.Reset();
    }

    CloudClient::Options Opts() {
        CloudClient::Options o;
        o.baseUrl = fake.BaseUrl() + "/";
        o.storedCode = [this](const std::string& sn) {
            std::lock_guard<std::mutex> hold(codesLock);
            auto it = storedCodes.find(sn);
            return it == storedCodes.end() ? std::string() : it->second;
        };
        o.now = [this] { return now.load(); };
        o.sleep = [this](int32_t ms, const std::atomic<bool>* stop) {
            sleeps.push_back(ms);
            now += ms;
            if (afterSleep) afterSleep(stop);
        };
        return o;
    }

    std::wstring SpoolFile(const std::string& bytes) {
        std::wstring path = dir / L"job.dat";
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }

    size_t Count(const std::string& path) { return fake.RequestsTo(path).size(); }

    FakeCloudPeer fake;
    test::TempDir dir;
    std::atomic<int64_t> now{kStart};
    std::vector<int32_t> sleeps;
    std::function<void(const std::atomic<bool>*)> afterSleep;
    std::mutex codesLock;
    std::map<std::string, std::string> storedCodes;
};

// Whether the logger's recent lines hold one with this level tag and text
// ("[WRN] text"); whole is false to accept text as a prefix of the message.
bool Logged(const std::string& tagged, bool whole = true) {
    for (const auto& line : Logger::Instance().RecentLines(300)) {
        size_t at = line.find(" " + tagged);
        if (at == std::string::npos) continue;
        if (!whole || line.compare(at + 1, std::string::npos, tagged + "\n") == 0) return true;
    }
    return false;
}

const char kToken[] = "/v1/auth/device-token";
const char kFiles[] = "/v1/files";
const char kJobs[] = "/v1/print-jobs";

TEST_F(CloudClientTest, TokenRequestWireFormatAndCacheEntry) {
    CloudClient client(Opts());
    CloudResult r = client.VerifyDevice("SN1", "1234");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.message, "");

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, kToken);
    EXPECT_EQ(requests[0].body, R"({"machine_code":"SN1","verify_code":"1234"})");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].Header("User-Agent"), "Quillstone/4.1");
    EXPECT_FALSE(requests[0].HasHeader("Authorization"));

    TokenEntry e;
    ASSERT_TRUE(client.CachedToken("SN1", e));
    EXPECT_EQ(e.token, "tok-1");
    EXPECT_EQ(e.verifyCode, "1234");
    EXPECT_EQ(e.expiresAtMs, kStart + 86400LL * 1000);
}

TEST_F(CloudClientTest, TokenAnswerShapes) {
    struct Case { std::string body; std::string token; int64_t lifetimeS; } cases[] = {
        {R"({"data":{"access_token":"A","expires_in":0}})", "A", 86400},
        {R"({"data":{"access_token":"B","expires_in":"3600"}})", "B", 3600},
        {R"({"access_token":"C","expires_in":600})", "C", 600},
        {R"({"data":{"access_token":"D","expires_in":-5}})", "D", 86400},
        {R"({"data":{"access_token":"E","expires_in":"soon"}})", "E", 86400},
        {R"({"data":{"access_token":"F","expires_in":1900.9}})", "F", 1900},
        {R"({"data":{"access_token":"G"}})", "G", 86400},
        // Lifetimes over a year are cut to one, so the expiry cannot overflow.
        {R"({"data":{"access_token":"H","expires_in":"9999999999"}})", "H", 365LL * 86400},
        {R"({"data":{"access_token":"I","expires_in":"9223372036854775807"}})", "I", 365LL * 86400},
        {R"({"data":{"access_token":"J","expires_in":31536001}})", "J", 365LL * 86400},
        {R"({"data":{"access_token":"K","expires_in":31536000}})", "K", 365LL * 86400},
    };
    for (const auto& c : cases) {
        fake.Rules("[{\"path\":\"" + std::string(kToken) + "\",\"body\":" + c.body + "}]");
        CloudClient client(Opts());
        std::string token;
        CloudResult r;
        ASSERT_TRUE(client.GetDeviceToken("SN1", "1", token, r)) << c.body << " " << r.message;
        EXPECT_EQ(token, c.token);
        TokenEntry e;
        ASSERT_TRUE(client.CachedToken("SN1", e));
        EXPECT_EQ(e.expiresAtMs, kStart + c.lifetimeS * 1000) << c.body;
    }
}

TEST_F(CloudClientTest, CachedTokenIsServedUntilFiveMinutesBeforeExpiry) {
    fake.Config(R"({"expires_in":600})");
    storedCodes["SN1"] = "stored";
    CloudClient client(Opts());
    std::string token;
    CloudResult r;
    ASSERT_TRUE(client.GetDeviceToken("SN1", "1", token, r));
    EXPECT_EQ(token, "tok-1");

    now = kStart + 299999;
    ASSERT_TRUE(client.GetDeviceToken("SN1", "", token, r));
    EXPECT_EQ(token, "tok-1");
    EXPECT_EQ(Count(kToken), 1u);

    now = kStart + 300000;
    ASSERT_TRUE(client.GetDeviceToken("SN1", "", token, r));
    EXPECT_EQ(token, "tok-2");
    EXPECT_EQ(Count(kToken), 2u);
    auto sent = fake.RequestsTo(kToken);
    // A fresh request without a given code uses the stored one.
    EXPECT_EQ(sent[1].body, R"({"machine_code":"SN1","verify_code":"stored"})");
}

TEST_F(CloudClientTest, VerifyWithAValidCachedTokenSendsNothing) {
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "right").code, 0);
    CloudResult again = client.VerifyDevice("SN1", "something else");
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(Count(kToken), 1u);
}

TEST_F(CloudClientTest, LocalRefusalsBeforeAnyRequest) {
    CloudClient client(Opts());
    CloudResult noSn = client.VerifyDevice("", "1");
    EXPECT_EQ(noSn.code, -100);
    EXPECT_EQ(noSn.message, "设备序列号为空");
    CloudResult noCode = client.VerifyDevice("SN-none", "");
    EXPECT_EQ(noCode.code, -101);
    EXPECT_EQ(noCode.message, "缺少设备验证码，请重新添加设备");
    EXPECT_TRUE(fake.Requests().empty());

    storedCodes["SN-stored"] = "5555";
    EXPECT_EQ(client.VerifyDevice("SN-stored", "").code, 0);
    auto sent = fake.RequestsTo(kToken);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, R"({"machine_code":"SN-stored","verify_code":"5555"})");
}

TEST_F(CloudClientTest, TokenRefusalsMapToCodesAndMessages) {
    struct Case { std::string rule; int32_t code; std::string message; } cases[] = {
        {R"("status":404,"raw":"")", -404, "打印服务器尚未开通设备校验"},
        {R"("status":404,"body":{"error":{"code":4004,"message":"x"}})", -404, "打印服务器尚未开通设备校验"},
        {R"("status":403,"body":{"error":{"code":4003,"message":"验证码错误"}})", 4003, "验证码错误"},
        {R"("status":400,"body":{"error":{"code":"BAD_CODE"}})", -1, "BAD_CODE"},
        {R"("status":400,"body":{"error":{"code":"4003","message":"m"}})", 4003, "m"},
        {R"("status":400,"body":{"error":{"code":"4003"}})", 4003, "4003"},
        {R"("status":500,"raw":"")", -1, "设备校验失败"},
        {R"("status":502,"raw":"<html>bad gateway</html>")", -1, "设备校验失败"},
        {R"("status":500,"body":{"error":{}})", -1, "设备校验失败 HTTP 500"},
        {R"("status":500,"body":{"error":{"code":0,"message":"zero"}})", -1, "zero"},
        {R"("status":200,"body":{"data":{"expires_in":5}})", -1, "服务器未返回 access_token"},
        {R"("status":200,"body":{"data":{"access_token":5}})", -1, "服务器未返回 access_token"},
        {R"("status":200,"body":{"data":{},"access_token":"top"})", -1, "服务器未返回 access_token"},
        {R"("status":200,"raw":"not json")", -1, "服务器未返回 access_token"},
        {R"("status":200,"body":{"data":{"access_token":""}})", -1, "服务器未返回 access_token"},
    };
    for (const auto& c : cases) {
        fake.Reset();
        fake.Rules("[{\"path\":\"" + std::string(kToken) + "\"," + c.rule + "}]");
        CloudClient client(Opts());
        std::string token = "stale";
        CloudResult r;
        EXPECT_FALSE(client.GetDeviceToken("SN1", "1", token, r)) << c.rule;
        EXPECT_EQ(token, "") << c.rule;
        EXPECT_EQ(r.code, c.code) << c.rule;
        EXPECT_EQ(r.message, c.message) << c.rule;
        EXPECT_FALSE(r.timedOut) << c.rule;
        TokenEntry e;
        EXPECT_FALSE(client.CachedToken("SN1", e)) << c.rule;
        EXPECT_EQ(Count(kToken), 1u) << "an HTTP answer is never retried: " << c.rule;
    }
    EXPECT_TRUE(Logged("[WRN] 设备校验被拒绝 HTTP 403 验证码错误"));
    EXPECT_TRUE(Logged("[WRN] 设备校验被拒绝 HTTP 500 设备校验失败 HTTP 500"));
}

TEST_F(CloudClientTest, UnansweredTokenRequestIsRetriedOnceDirect) {
    {
        fake.Rules(R"([{"path":"/v1/auth/device-token","action":"drop","times":1}])");
        CloudClient client(Opts());
        EXPECT_EQ(client.Http().AccessType(), 4u);
        EXPECT_EQ(client.VerifyDevice("SN1", "1").code, 0);
        EXPECT_EQ(Count(kToken), 2u);
        EXPECT_EQ(client.Http().AccessType(), 1u);
        EXPECT_TRUE(Logged("[WRN] 设备校验直连重试，上次失败：请求失败 ", false));
    }
    {
        fake.Reset();
        fake.Rules(R"([{"path":"/v1/auth/device-token","action":"drop","times":2}])");
        CloudClient client(Opts());
        CloudResult r = client.VerifyDevice("SN1", "1");
        EXPECT_EQ(r.code, -1);
        EXPECT_EQ(r.message.rfind("请求失败 ", 0), 0u) << r.message;
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(Count(kToken), 2u);
        EXPECT_TRUE(Logged("[WRN] 设备校验连接失败 " + r.message));
    }
    {
        CloudClient::Options o = Opts();
        o.baseUrl = "http://127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
        CloudClient client(o);
        CloudResult r = client.VerifyDevice("SN1", "1");
        EXPECT_EQ(r.code, -1);
        EXPECT_EQ(r.message.rfind("请求失败 ", 0), 0u) << r.message;
        EXPECT_EQ(client.Http().AccessType(), 1u);
    }
}

TEST_F(CloudClientTest, TimedOutTokenRequestIsNotRetried) {
    fake.Rules(R"([{"path":"/v1/auth/device-token","delay_ms":1500,"times":0}])");
    CloudClient::Options o = Opts();
    o.requestTimeoutMs = 300;
    CloudClient client(o);
    CloudResult r = client.VerifyDevice("SN1", "1");
    EXPECT_EQ(r.code, -1);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.message.rfind("请求失败 ", 0), 0u) << r.message;
    EXPECT_EQ(Count(kToken), 1u);
    EXPECT_EQ(client.Http().AccessType(), 4u);
}

TEST_F(CloudClientTest, DeviceStatusShapes) {
    struct Case { std::string rule; bool ok; std::string typeName, state; int32_t status; } cases[] = {
        {"", true, "Receipt 58", "online", 1},
        {R"("body":{"data":{"type_name":"Label","state":"busy","status":"7"}})", true, "Label", "busy", 7},
        {R"("body":{"data":{"status":"x","state":3}})", true, "", "", -1},
        {R"("body":{"data":{}})", true, "", "", -1},
        {R"("body":{"type_name":"Top","state":"online","status":1})", false, "", "", -1},
        {R"("body":{"data":"flat"})", false, "", "", -1},
        {R"("status":500,"body":{"data":{"type_name":"X"}})", false, "", "", -1},
        {R"("action":"drop")", false, "", "", -1},
    };
    for (const auto& c : cases) {
        fake.Reset();
        if (!c.rule.empty()) fake.Rules("[{\"path\":\"/v1/pc/device-status\"," + c.rule + "}]");
        CloudClient client(Opts());
        ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
        DeviceStatus s = client.GetDeviceStatus("SN1");
        EXPECT_EQ(s.ok, c.ok) << c.rule;
        EXPECT_EQ(s.typeName, c.typeName) << c.rule;
        EXPECT_EQ(s.state, c.state) << c.rule;
        EXPECT_EQ(s.status, c.status) << c.rule;
    }
}

TEST_F(CloudClientTest, AuthorizationOnlyOnAuthenticatedRequestsAndEncodedIds) {
    CloudClient client(Opts());
    const std::string oddSn = "A&B #?x/y";
    ASSERT_EQ(client.VerifyDevice(oddSn, "1").code, 0);
    ASSERT_EQ(client.VerifyDevice("QN-2024_01.x~", "2").code, 0);
    fake.Config(R"({"job_statuses":["printing"]})");
    EXPECT_TRUE(client.GetDeviceStatus(oddSn).ok);
    EXPECT_TRUE(client.GetDeviceStatus("QN-2024_01.x~").ok);
    client.GetJobStatus(oddSn, "j 1&2");
    EXPECT_EQ(client.GetJobStatus(oddSn, ""), "");
    ASSERT_EQ(client.VerifyDevice("SN3", "3").code, 0);

    // Each device's requests carry that device's own token, whatever
    // number the fake gave it.
    TokenEntry oddToken, plainToken;
    ASSERT_TRUE(client.CachedToken(oddSn, oddToken));
    ASSERT_TRUE(client.CachedToken("QN-2024_01.x~", plainToken));
    EXPECT_NE(oddToken.token, plainToken.token);

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[2].path, "/v1/pc/device-status");
    EXPECT_EQ(requests[2].query, "machine_code=A%26B%20%23%3Fx%2Fy");
    EXPECT_EQ(requests[2].Header("Authorization"), "Bearer " + oddToken.token);
    EXPECT_EQ(requests[2].Header("User-Agent"), "Quillstone/4.1");
    EXPECT_FALSE(requests[2].HasHeader("Content-Type"));
    EXPECT_EQ(requests[3].query, "machine_code=QN-2024_01.x~");
    EXPECT_EQ(requests[3].Header("Authorization"), "Bearer " + plainToken.token);
    EXPECT_EQ(requests[4].path, "/v1/print-jobs/j%201%262");
    EXPECT_EQ(requests[4].Header("Authorization"), "Bearer " + oddToken.token);
    // The header is cleared once the authenticated call is over.
    EXPECT_EQ(requests[5].path, kToken);
    EXPECT_FALSE(requests[5].HasHeader("Authorization"));
}

TEST_F(CloudClientTest, JobStatusReadsTheWordFromDataOrTopLevel) {
    struct Case { std::string rule; std::string word; } cases[] = {
        {R"("body":{"data":{"status":"pushing"}})", "pushing"},
        {R"("body":{"status":"done"})", "done"},
        {R"("body":{"data":{"status":3}})", ""},
        {R"("status":404,"body":{"status":"done"})", ""},
        {R"("action":"drop")", ""},
    };
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    for (const auto& c : cases) {
        fake.Rules("[{\"path\":\"/v1/print-jobs/J1\"," + c.rule + "}]");
        EXPECT_EQ(client.GetJobStatus("SN1", "J1"), c.word) << c.rule;
    }
    EXPECT_EQ(client.GetJobStatus("SN-without-code", "J1"), "");
}

TEST_F(CloudClientTest, UploadAndSubmitWireFormat) {
    storedCodes["SN1"] = "stored-code";
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "given-code").code, 0);
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    CloudResult r = client.UploadAndSubmit(SpoolFile(bytes), "SN1", 42);
    EXPECT_EQ(r.code, 0) << r.message;
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.jobId, "job-3");
    ASSERT_EQ(client.VerifyDevice("SN2", "2").code, 0);

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 4u);
    const RecordedRequest& up = requests[1];
    EXPECT_EQ(up.path, kFiles);
    EXPECT_EQ(up.Header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(up.Header("User-Agent"), "Quillstone/4.1");
    ASSERT_TRUE(up.hasPart);
    EXPECT_TRUE(up.part.wellFormed);
    EXPECT_EQ(up.part.name, "file");
    EXPECT_EQ(up.part.filename, "qn-42.bin");
    EXPECT_EQ(up.part.contentType, "application/octet-stream");
    EXPECT_EQ(up.part.size, 100000);
    EXPECT_EQ(up.part.md5, Md5Hex(bytes));

    const RecordedRequest& submit = requests[2];
    EXPECT_EQ(submit.path, kJobs);
    EXPECT_EQ(submit.Header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(submit.Header("Content-Type"), "application/json");
    // The code the token was obtained with, not the stored one.
    EXPECT_EQ(submit.body,
              R"({"machine_code":"SN1","verify_code":"given-code","model_id":"nerova-direct-receipt",)"
              R"("file_id":"file-2","client_request_id":"pc-42","options":{"nerova_type":1}})");
    EXPECT_FALSE(requests[3].HasHeader("Authorization"));
    EXPECT_TRUE(Logged("[INF] 已提交到 print sn=SN1 job=job-3"));
}

TEST_F(CloudClientTest, UploadAndSubmitFailures) {
    struct Case {
        std::string rules;
        int32_t code;
        std::string message;
        bool prefix;
        std::string jobId;
    } cases[] = {
        {R"([{"path":"/v1/files","status":500,"raw":""}])", -1, "文件上传失败 HTTP 500", false, ""},
        {R"([{"path":"/v1/files","status":413,"body":{"error":{"code":4130,"message":"too big"}}}])", 4130, "too big", false, ""},
        {R"([{"path":"/v1/files","status":400,"body":{"error":{}}}])", -1, "", false, ""},
        {R"([{"path":"/v1/files","body":{"data":{}}}])", -1, "服务器未返回 file_id", false, ""},
        {R"([{"path":"/v1/files","body":{"data":{"file_id":9}}}])", -1, "服务器未返回 file_id", false, ""},
        {R"([{"path":"/v1/files","action":"drop"}])", -1, "上传失败 ", true, ""},
        {R"([{"path":"/v1/print-jobs","status":500,"raw":""}])", -1, "提交作业失败 HTTP 500", false, ""},
        {R"([{"path":"/v1/print-jobs","status":400,"body":{"error":{"code":"E_MODEL"}}}])", -1, "E_MODEL", false, ""},
        {R"([{"path":"/v1/print-jobs","status":422,"body":{"error":{"code":4220,"message":"bad model"}}}])", 4220, "bad model", false, ""},
        {R"([{"path":"/v1/print-jobs","action":"drop"}])", -1, "请求失败 ", true, ""},
        {R"([{"path":"/v1/print-jobs","body":{"data":{}}}])", 0, "", false, ""},
        {R"([{"path":"/v1/print-jobs","body":{"id":"J9"}}])", 0, "", false, "J9"},
    };
    std::wstring spool = SpoolFile("receipt bytes");
    for (const auto& c : cases) {
        fake.Reset();
        CloudClient client(Opts());
        ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
        fake.Rules(c.rules);
        CloudResult r = client.UploadAndSubmit(spool, "SN1", 7);
        EXPECT_EQ(r.code, c.code) << c.rules;
        if (c.prefix) {
            EXPECT_EQ(r.message.rfind(c.message, 0), 0u) << c.rules << ": " << r.message;
        } else {
            EXPECT_EQ(r.message, c.message) << c.rules;
        }
        EXPECT_EQ(r.jobId, c.jobId) << c.rules;
        EXPECT_FALSE(r.timedOut) << c.rules;
        TokenEntry e;
        EXPECT_TRUE(client.CachedToken("SN1", e)) << "only a 401 drops the token: " << c.rules;
        // Whatever happened, the next plain request carries no token.
        ASSERT_EQ(client.VerifyDevice("SN-next", "1").code, 0);
        auto sent = fake.RequestsTo(kToken);
        EXPECT_FALSE(sent.back().HasHeader("Authorization")) << c.rules;
    }

    fake.Reset();
    CloudClient client(Opts());
    CloudResult missing = client.UploadAndSubmit(dir / L"nope.dat", "SN1", 7);
    EXPECT_EQ(missing.code, -101);   // no code for SN1 yet: nothing is sent
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    missing = client.UploadAndSubmit(dir / L"nope.dat", "SN1", 7);
    EXPECT_EQ(missing.code, -1);
    EXPECT_EQ(missing.message, "文件不存在或无法读取");
    EXPECT_EQ(Count(kFiles), 0u);
    EXPECT_TRUE(Logged("[WRN] print 上传文件被拒 sn=SN1 code=4130 too big"));
    EXPECT_TRUE(Logged("[WRN] print 上传文件被拒 sn=SN1 code=-1 文件上传失败 HTTP 500"));
    EXPECT_TRUE(Logged("[WRN] print 提交作业被拒 sn=SN1 code=-1 E_MODEL"));
}

TEST_F(CloudClientTest, UnauthorizedSubmissionDropsTheTokenAndTheNextAttemptFetchesOne) {
    storedCodes["SN1"] = "1";
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    fake.Rules(R"([{"path":"/v1/print-jobs","status":401,"body":{"error":{"code":401,"message":"token expired"}}}])");
    std::wstring spool = SpoolFile("data");
    CloudResult r = client.UploadAndSubmit(spool, "SN1", 1);
    EXPECT_EQ(r.code, 401);
    EXPECT_EQ(r.message, "token expired");
    TokenEntry e;
    EXPECT_FALSE(client.CachedToken("SN1", e));
    EXPECT_TRUE(Logged("[WRN] print 提交作业被拒 sn=SN1 code=401 token expired"));

    CloudResult again = client.UploadAndSubmit(spool, "SN1", 1);
    EXPECT_EQ(again.code, 0) << again.message;
    EXPECT_EQ(Count(kToken), 2u);
    auto jobs = fake.RequestsTo(kJobs);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_NE(jobs[0].Header("Authorization"), jobs[1].Header("Authorization"));
}

TEST_F(CloudClientTest, RevokedTokenRefusedAtUploadIsDroppedToo) {
    storedCodes["SN1"] = "1";
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    fake.Revoke();
    std::wstring spool = SpoolFile("data");
    CloudResult r = client.UploadAndSubmit(spool, "SN1", 1);
    EXPECT_EQ(r.code, 401);
    EXPECT_EQ(r.message, "token invalid");
    TokenEntry e;
    EXPECT_FALSE(client.CachedToken("SN1", e));
    EXPECT_EQ(client.UploadAndSubmit(spool, "SN1", 1).code, 0);
    EXPECT_EQ(Count(kToken), 2u);
}

TEST_F(CloudClientTest, UploadTimeOutIsRaisedOnlyForTheUpload) {
    std::wstring spool = SpoolFile(std::string(70000, 'u'));
    {
        // A long upload time-out lets a slow upload through; the submission
        // runs on the short one again.
        fake.Rules(R"([{"path":"/v1/files","delay_ms":800},{"path":"/v1/print-jobs","delay_ms":800}])");
        CloudClient::Options o = Opts();
        o.requestTimeoutMs = 300;
        o.uploadTimeoutMs = 3000;
        CloudClient client(o);
        ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
        CloudResult r = client.UploadAndSubmit(spool, "SN1", 5);
        EXPECT_EQ(r.code, -1);
        EXPECT_TRUE(r.timedOut);
        EXPECT_EQ(r.message.rfind("请求失败 ", 0), 0u) << r.message;
        EXPECT_EQ(Count(kFiles), 1u);
    }
    {
        fake.Reset();
        fake.Rules(R"([{"path":"/v1/files","delay_ms":800}])");
        CloudClient::Options o = Opts();
        o.requestTimeoutMs = 3000;
        o.uploadTimeoutMs = 300;
        CloudClient client(o);
        ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
        CloudResult r = client.UploadAndSubmit(spool, "SN1", 5);
        EXPECT_EQ(r.code, -1);
        EXPECT_TRUE(r.timedOut);
        EXPECT_EQ(r.message.rfind("上传失败 ", 0), 0u) << r.message;
        TokenEntry e;
        EXPECT_TRUE(client.CachedToken("SN1", e));
        fake.Rules(R"([{"path":"/v1/print-jobs/J1","delay_ms":800,"body":{"status":"done"}}])");
        EXPECT_EQ(client.GetJobStatus("SN1", "J1"), "done");
    }
}

TEST_F(CloudClientTest, ForgetTokenDropsTheEntry) {
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    CloudResult r = client.ForgetToken("SN1");
    EXPECT_EQ(r.code, 0);
    TokenEntry e;
    EXPECT_FALSE(client.CachedToken("SN1", e));
    EXPECT_EQ(client.ForgetToken("never-seen").code, 0);
    EXPECT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    EXPECT_EQ(Count(kToken), 2u);
}

TEST_F(CloudClientTest, WaitForJobOutcomesAndSchedule) {
    struct Case {
        std::string statuses;
        int32_t timeoutMs;
        int result;
        size_t queries;
        std::string last;
    } cases[] = {
        {R"(["done"])", 20000, 0, 1, "done"},
        {R"(["pushing"])", 20000, 0, 1, "pushing"},
        {R"(["printing"])", 20000, 0, 1, "printing"},
        {R"(["failed"])", 20000, 1, 1, "failed"},
        {R"(["cancelled"])", 20000, 1, 1, "cancelled"},
        {R"(["queued","waiting","done"])", 20000, 0, 3, "done"},
        {R"(["queued","failed"])", 20000, 1, 2, "failed"},
        {R"(["Done"])", 20000, 2, 7, "Done"},
        {R"(["canceled"])", 20000, 2, 7, "canceled"},
        {R"([""])", 20000, 2, 7, ""},
        {R"(["done"])", 1500, 2, 0, ""},
        {R"(["done"])", 0, 2, 0, ""},
        {R"(["queued"])", 1501, 2, 1, "queued"},
        {R"(["queued"])", 4500, 2, 1, "queued"},
        {R"(["queued"])", 4501, 2, 2, "queued"},
    };
    for (const auto& c : cases) {
        fake.Reset();
        fake.Config("{\"job_statuses\":" + c.statuses + "}");
        CloudClient client(Opts());
        std::wstring spool = SpoolFile("x");
        ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
        CloudResult sub = client.UploadAndSubmit(spool, "SN1", 1);
        ASSERT_EQ(sub.code, 0);
        sleeps.clear();
        std::string status = "stale";
        int result = client.WaitForJob("SN1", sub.jobId, c.timeoutMs, status);
        EXPECT_EQ(result, c.result) << c.statuses << " " << c.timeoutMs;
        EXPECT_EQ(status, c.last) << c.statuses << " " << c.timeoutMs;
        EXPECT_EQ(Count("/v1/print-jobs/" + sub.jobId), c.queries) << c.statuses << " " << c.timeoutMs;
        // 1.5 s first, then 3 s after every undecided answer.
        std::vector<int32_t> want{1500};
        size_t undecided = c.result == 2 ? c.queries : c.queries - 1;
        for (size_t i = 0; i < undecided; ++i) want.push_back(3000);
        EXPECT_EQ(sleeps, want) << c.statuses << " " << c.timeoutMs;
    }
}

TEST_F(CloudClientTest, WaitForJobStopsBetweenPolls) {
    fake.Config(R"({"job_statuses":["queued"]})");
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    CloudResult sub = client.UploadAndSubmit(SpoolFile("x"), "SN1", 1);
    ASSERT_EQ(sub.code, 0);
    const std::string path = "/v1/print-jobs/" + sub.jobId;

    std::atomic<bool> stop{false};
    std::string status;
    int sleepsSeen = 0;
    afterSleep = [&](const std::atomic<bool>* given) {
        EXPECT_EQ(given, &stop);
        if (++sleepsSeen == 2) stop = true;
    };
    EXPECT_EQ(client.WaitForJob("SN1", sub.jobId, 20000, status, &stop), 2);
    EXPECT_EQ(Count(path), 1u);
    EXPECT_EQ(sleepsSeen, 2);

    sleeps.clear();
    afterSleep = nullptr;
    EXPECT_EQ(client.WaitForJob("SN1", sub.jobId, 20000, status, &stop), 2);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(Count(path), 1u);
}

// Slow status answers count against the limit too: the pauses alone would
// let seven slow queries stretch one attempt far past 20 s.
TEST_F(CloudClientTest, WaitForJobCountsTheTimeItsQueriesTake) {
    fake.Config(R"({"job_statuses":["queued"]})");
    CloudClient::Options o = Opts();
    // Pauses move the clock at once; every real millisecond (the slow
    // answers) counts ten on it.
    const auto realStart = std::chrono::steady_clock::now();
    o.now = [this, realStart] {
        const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - realStart)
                              .count();
        return now.load() + 10 * static_cast<int64_t>(real);
    };
    CloudClient client(o);
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    CloudResult sub = client.UploadAndSubmit(SpoolFile("x"), "SN1", 1);
    ASSERT_EQ(sub.code, 0);
    const std::string path = "/v1/print-jobs/" + sub.jobId;
    fake.Rules("[{\"path\":\"" + path + "\",\"delay_ms\":500,\"times\":0,"
               "\"body\":{\"status\":\"queued\"}}]");

    std::string status;
    const int64_t start = o.now();
    EXPECT_EQ(client.WaitForJob("SN1", sub.jobId, 20000, status), 2);
    EXPECT_EQ(status, "queued");
    // Each query costs about 5 s on this clock and each pause 3 s: three
    // queries fit in 20 s (a fourth at most when the machine is slow), not
    // the seven that counting only the pauses allows.
    EXPECT_GE(Count(path), 2u);
    EXPECT_LE(Count(path), 4u);
    EXPECT_LT(o.now() - start, 20000 + 5000 + 3000 + 3000);
}

#ifdef QS_FAULT_POINTS
// Crash tests stop the service inside the status poll, before each query.
TEST_F(CloudClientTest, StatusPollPassesItsFaultPointBeforeEachQuery) {
    fake.Config(R"({"job_statuses":["queued","waiting","done"]})");
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    CloudResult sub = client.UploadAndSubmit(SpoolFile("x"), "SN1", 1);
    ASSERT_EQ(sub.code, 0);
    const std::string path = "/v1/print-jobs/" + sub.jobId;
    std::vector<size_t> queriesAtPoint;
    std::vector<std::string> others;
    SetFaultPointHandler([&](const char* name) {
        if (std::string(name) == "cloud-poll") {
            queriesAtPoint.push_back(Count(path));
        } else {
            others.push_back(name);
        }
    });
    std::string status;
    const int result = client.WaitForJob("SN1", sub.jobId, 20000, status);
    SetFaultPointHandler(nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(queriesAtPoint, (std::vector<size_t>{0, 1, 2}));
    EXPECT_TRUE(others.empty());
}
#endif

TEST_F(CloudClientTest, WaitForJobInRealTime) {
    fake.Config(R"({"job_statuses":["done"]})");
    CloudClient::Options o = Opts();
    o.sleep = nullptr;   // the real sleeper
    o.now = nullptr;
    CloudClient client(o);
    ASSERT_EQ(client.VerifyDevice("SN1", "1").code, 0);
    CloudResult sub = client.UploadAndSubmit(SpoolFile("x"), "SN1", 1);
    ASSERT_EQ(sub.code, 0);

    std::string status;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.WaitForJob("SN1", sub.jobId, 20000, status), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, "done");
    EXPECT_GE(took, std::chrono::milliseconds(1450));
    EXPECT_LT(took, std::chrono::milliseconds(4000));

    // A stop raised during the first sleep ends the wait well before 1.5 s.
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.WaitForJob("SN1", sub.jobId, 20000, status, &stop), 2);
    took = std::chrono::steady_clock::now() - start;
    raiser.join();
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(Count("/v1/print-jobs/" + sub.jobId), 1u);
}

TEST_F(CloudClientTest, ConcurrentCallsKeepTokensOutOfEachOthersRequests) {
    CloudClient client(Opts());
    ASSERT_EQ(client.VerifyDevice("SN-status", "1").code, 0);
    std::atomic<bool> failed{false};
    std::thread status([&] {
        for (int i = 0; i < 25; ++i) {
            if (!client.GetDeviceStatus("SN-status").ok) failed = true;
        }
    });
    std::thread verify([&] {
        for (int i = 0; i < 25; ++i) {
            std::string sn = "SN-new-" + std::to_string(i);
            if (client.VerifyDevice(sn, "1").code != 0) failed = true;
        }
    });
    status.join();
    verify.join();
    EXPECT_FALSE(failed);
    auto tokens = fake.RequestsTo(kToken);
    ASSERT_EQ(tokens.size(), 26u);
    for (const auto& t : tokens) EXPECT_FALSE(t.HasHeader("Authorization")) << t.body;
    for (const auto& s : fake.RequestsTo("/v1/pc/device-status")) {
        EXPECT_EQ(s.Header("Authorization"), "Bearer tok-1");
    }
}

TEST(CloudBaseUrl, ConfiguredOriginWithoutTrailingSlash) {
    std::string origin = DefaultCloudBaseUrl();
    EXPECT_FALSE(origin.empty());
    EXPECT_NE(origin.back(), '/');
    EXPECT_EQ(origin.rfind("http", 0), 0u);
    EXPECT_EQ(CloudClient().BaseUrl(), origin);
    CloudClient::Options o;
    o.baseUrl = "http://127.0.0.1:18443//";
    EXPECT_EQ(CloudClient(o).BaseUrl(), "http://127.0.0.1:18443");
}

}  // namespace
}  // namespace qs
