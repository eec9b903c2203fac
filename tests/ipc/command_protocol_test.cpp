// The command protocol against a running core: exact reply texts, the
// parameter reading rules, failures that must not look like success, a
// bounded fuzz run, and one exchange over the real pipe.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <cJSON.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "core/core.h"
#include "foundation/files.h"
#include "foundation/text.h"
#include "ipc/command_handler.h"
#include "ipc/ipc_client.h"
#include "ipc/ipc_server.h"
#include "ipc/ipc_test_util.h"
#include "printers/fake_print_system.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::FakeCloudPeer;
using test::TempDir;

std::string Ok(const std::string& dataJson) { return "{\"ok\":true,\"data\":" + dataJson + "}"; }
std::string Err(const std::string& text) { return "{\"ok\":false,\"error\":\"" + text + "\"}"; }
const std::string kOkEmpty = Ok("\"\"");

// An independent check of a reply: strict JSON grammar, no white space
// outside strings, UTF-8, and the reply's shape {"ok":true,"data":...} or
// {"ok":false,"error":"..."} with nothing else.
class CompactJsonChecker {
public:
    explicit CompactJsonChecker(std::string_view text) : s_(text) {}

    bool Valid() {
        if (!Utf8(s_)) return false;
        if (!Value(0) || i_ != s_.size()) return false;
        return true;
    }

private:
    static bool Utf8(std::string_view s) {
        if (s.empty()) return true;
        return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(),
                                   static_cast<int>(s.size()), nullptr, 0) > 0;
    }
    bool Peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool Eat(char c) {
        if (!Peek(c)) return false;
        ++i_;
        return true;
    }
    bool Value(int depth) {
        if (depth > 4000 || i_ >= s_.size()) return false;
        switch (s_[i_]) {
            case '{': return Object(depth);
            case '[': return Array(depth);
            case '"': return String();
            case 't': return Literal("true");
            case 'f': return Literal("false");
            case 'n': return Literal("null");
            default: return Number();
        }
    }
    bool Literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool Object(int depth) {
        Eat('{');
        if (Eat('}')) return true;
        do {
            if (!String() || !Eat(':') || !Value(depth + 1)) return false;
        } while (Eat(','));
        return Eat('}');
    }
    bool Array(int depth) {
        Eat('[');
        if (Eat(']')) return true;
        do {
            if (!Value(depth + 1)) return false;
        } while (Eat(','));
        return Eat(']');
    }
    bool String() {
        if (!Eat('"')) return false;
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (i_ >= s_.size()) return false;
            char e = s_[i_++];
            if (e == 'u') {
                for (int k = 0; k < 4; ++k, ++i_)
                    if (i_ >= s_.size() || !isxdigit(static_cast<unsigned char>(s_[i_]))) return false;
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }
    bool Digits() {
        size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > start;
    }
    bool Number() {
        Eat('-');
        if (Peek('0')) {
            ++i_;
        } else if (!Digits()) {
            return false;
        }
        if (Eat('.') && !Digits()) return false;
        if (Peek('e') || Peek('E')) {
            ++i_;
            if (!Eat('+')) Eat('-');
            if (!Digits()) return false;
        }
        return true;
    }

    std::string_view s_;
    size_t i_ = 0;
};

// "" when the reply is a well-formed compact reply, else what is wrong.
std::string ReplyProblem(const std::string& reply) {
    if (!CompactJsonChecker(reply).Valid()) return "not compact JSON";
    bool success = reply.rfind("{\"ok\":true,\"data\":", 0) == 0;
    bool failure = reply.rfind("{\"ok\":false,\"error\":\"", 0) == 0;
    if (!success && !failure) return "does not start with ok and data or error";
    cJSON* root = cJSON_Parse(reply.c_str());
    int members = cJSON_GetArraySize(root);
    cJSON_Delete(root);
    if (members != 2) return "has " + std::to_string(members) + " members";
    return "";
}

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        ASSERT_TRUE(cloud_.Available()) << "run with tools/fake_cloud.py beside";
        cloud_.Reset();

        FakePrintSystem::Queue till;
        till.name = L"收银台";
        till.port = L"USB001";
        till.attributes = kAttrEnableBidi;
        print_.AddQueue(till);
        FakePrintSystem::Queue office;
        office.name = L"Office Laser";
        office.port = L"LPT1:";
        print_.AddQueue(office);
        print_.AddDriver(L"Generic / Text Only");
        print_.AddDriver(L"热敏打印机驱动");
    }

    void TearDown() override {
        if (core_) core_->Stop();
        core_.reset();
        WSACleanup();
    }

    CoreOptions Options() {
        CoreOptions o;
        o.dataRoot = dir_.path();
        o.cloudBaseUrl = cloud_.BaseUrl();
        o.discovery.local_port = 0;
        o.discovery.device_port = test::UnusedLoopbackPort();
        o.delivery.device_port = test::UnusedLoopbackPort();
        o.cloudSleep = [](int32_t, const std::atomic<bool>*) {};
        o.printSystem = &print_;
        o.isElevated = [] { return true; };
        return o;
    }

    // A device as an earlier run would have left it in the table.
    void StoreDevice(const std::string& sn, int32_t port, const std::string& devname = "") {
        ConfigStore store;
        ASSERT_TRUE(store.Open(DatabasePath()));
        DeviceRecord d;
        d.sn = sn;
        d.port = port;
        d.devname = devname.empty() ? sn : devname;
        d.crc = "code-" + sn;
        ASSERT_TRUE(store.UpsertDevice(d));
    }

    std::wstring DatabasePath() const { return dir_ / L"qnconfig.db"; }

    Core& StartCore() {
        core_ = std::make_unique<Core>(Options());
        EXPECT_TRUE(core_->Start(false));
        return *core_;
    }

    std::string Ask(const std::string& request) { return HandleCommand(*core_, request); }

    // Runs SQL on a second connection to the core's database.
    void RawSql(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open16(DatabasePath().c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        std::string text = error ? error : "";
        sqlite3_free(error);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK) << text;
    }

    // A spool file and a job row for it; the job's id.
    int64_t AddJob(const std::string& sn) {
        std::wstring path = dir_ / Utf8ToWide("job_" + std::to_string(++jobFiles_) + ".dat");
        EXPECT_TRUE(WriteFileBytes(path, std::string("\x1B\x40receipt\n")));
        JobRecord job;
        job.sn = sn;
        job.path = WideToUtf8(path);
        job.expires_at = INT64_MAX / 2;
        return core_->Store().InsertJob(job);
    }

    TempDir dir_;
    FakeCloudPeer cloud_;
    FakePrintSystem print_;  // outlives the core, which points at it
    std::unique_ptr<Core> core_;
    int jobFiles_ = 0;
};

struct Exchange {
    const char* what;
    std::string request;
    std::string reply;
};

void ExpectReplies(Core& core, const std::vector<Exchange>& cases) {
    for (const Exchange& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(HandleCommand(core, c.request), c.reply) << "request: " << c.request;
    }
}

// Back-slashes and double quotes as a JSON string carries them.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

TEST_F(ProtocolTest, RequestsWithoutAKnownCommandAndCommandsThatNeedNoDevice) {
    StartCore();
    const std::string repairUnknown =
        Ok(R"([{"code":"NO_DEVICE","message":"设备不存在","fixed":false}])");
    const std::vector<Exchange> cases = {
        {"not JSON", "hello", Err("未知命令：")},
        {"empty text", "", Err("未知命令：")},
        {"JSON but not an object", R"(["ping"])", Err("未知命令：")},
        {"cmd as a number", R"({"cmd":7})", Err("未知命令：")},
        {"cmd missing", R"({"sn":"A"})", Err("未知命令：")},
        {"trailing bytes after the object", R"({"cmd":"ping"}x)", Err("未知命令：")},
        {"a NUL byte inside", std::string("{\"cmd\":\"ping\"}\0", 15), Err("未知命令：")},
        {"bytes that are not UTF-8", "{\"cmd\":\"p\xFFing\"}", Err("未知命令：")},
        {"name in capitals", R"({"cmd":"PING"})", Err("未知命令：PING")},
        {"unknown name echoed as received", R"({"cmd":"打印 \"x\""})",
         Err("未知命令：打印 \\\"x\\\"")},
        {"ping", R"({"cmd":"ping"})", kOkEmpty},
        {"ping with spaces and cmd last", " { \"x\" : 1 , \"cmd\" : \"ping\" } ", kOkEmpty},
        {"add with empty crc", R"({"cmd":"add","sn":"PROTO9","crc":"","name":"x"})",
         Err("设备编号与验证码不能为空")},
        {"add with sn as a number", R"({"cmd":"add","sn":123,"crc":"c"})",
         Err("设备编号与验证码不能为空")},
        {"retry with id missing", R"({"cmd":"retry"})", Err("重打失败")},
        {"cancel with a non-decimal id", R"({"cmd":"cancel","id":"12abc"})", Err("取消失败")},
        {"remove an unknown device", R"({"cmd":"remove","sn":"NOSUCH"})", Err("删除失败")},
        {"repair an unknown device", R"({"cmd":"repair","sn":"NOSUCH"})", repairUnknown},
        {"bind an unknown device", R"({"cmd":"bind","sn":"NOSUCH","printer":"收银台"})",
         Err("设备不存在")},
        {"list without devices", R"({"cmd":"list"})", Ok("[]")},
        {"jobs without jobs", R"({"cmd":"jobs"})", Ok("[]")},
        {"jobtip without jobs", R"({"cmd":"jobtip"})", Ok(R"({"id":0,"time":""})")},
        {"config before any save", R"({"cmd":"config"})",
         Ok(R"({"multiPrint":false,"showMessage":false,"language":"auto"})")},
        {"printers in the spooler's order", R"({"cmd":"printers"})", Ok(R"(["收银台","Office Laser"])")},
        {"drivers", R"({"cmd":"drivers"})", Ok(R"(["Generic / Text Only","热敏打印机驱动"])")},
        {"refresh", R"({"cmd":"refresh"})", kOkEmpty},
        {"portselftest", R"({"cmd":"portselftest"})", Ok("\"ok\"")},
        // Last: the failed attempt stays in the job list.
        {"test print for an unknown device", R"({"cmd":"test","sn":"NOSUCH"})",
         Err("测试页发送失败")},
    };
    ExpectReplies(*core_, cases);
    EXPECT_TRUE(cloud_.RequestsTo("/v1/auth/device-token").empty())
        << "an add without a code reached the cloud";
    EXPECT_EQ(print_.PortCount(), 0u) << "the self-test left its port behind";

    // A request longer than the pipe would ever deliver is refused unread.
    std::string huge = R"({"cmd":"ping","pad":")" + std::string(kIpcMaxRequestBytes, 'x') + "\"}";
    EXPECT_EQ(Ask(huge), Err("未知命令："));
}

TEST_F(ProtocolTest, SubmitAndCleanupAndDiagnostics) {
    print_.AddListedPort(L"Quillnet39100");
    print_.AddListedPort(L"Quillnet39101");
    FakePrintSystem::Queue ours;
    ours.name = L"Quillnet-收银";
    ours.port = L"Quillnet39100";
    print_.AddQueue(ours);
    StartCore();

    // Documents are refused: the reply carries the refusal's text.
    EXPECT_EQ(Ask(R"({"cmd":"submit","path":"C:\\docs\\a.pdf","sn":"X"})"),
              Err("当前版本不支持直接打印 PDF/图片：服务器对热敏/标签只做原样下发，不渲染文档。"
                  "请在应用中用打印机驱动打印，或等待服务器支持文档渲染。"));

    // Two ports and one queue of ours; the count travels as text.
    EXPECT_EQ(Ask(R"({"cmd":"cleanup"})"), Ok("\"3\""));
    EXPECT_FALSE(print_.HasQueue(L"Quillnet-收银"));
    EXPECT_TRUE(print_.HasQueue(L"收银台"));
    EXPECT_EQ(Ask(R"({"cmd":"cleanup"})"), Ok("\"0\""));

    std::string diag = Ask(R"({"cmd":"diag"})");
    cJSON* root = cJSON_Parse(diag.c_str());
    ASSERT_NE(root, nullptr) << diag;
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
    ASSERT_TRUE(cJSON_IsString(data)) << diag;
    std::wstring report = Utf8ToWide(data->valuestring);
    cJSON_Delete(root);
    EXPECT_TRUE(FileExists(report)) << diag;
    EXPECT_GT(FileSize(report), 0);
}

// Through the pipe the caller decides: a standard user manages devices
// from the tray, but the commands no window sends and that delete or write
// on the machine's behalf need an administrator. Wine runs every process as
// one administrator, so the caller comes through the server's probe seam.
TEST_F(ProtocolTest, MachineCommandsOverThePipeNeedAnAdministrator) {
    print_.AddListedPort(L"Quillnet39100");
    FakePrintSystem::Queue ours;
    ours.name = L"Quillnet-收银";
    ours.port = L"Quillnet39100";
    print_.AddQueue(ours);
    StartCore();
    const std::wstring name = test::UniquePipeName();
    std::atomic<bool> admin{false};
    std::atomic<int> probed{0};
    IpcServer server(
        [this](const std::string& r, const IpcCaller& caller) { return HandleCommand(*core_, r, caller); },
        [&](void*) {
            ++probed;
            IpcCaller caller;
            caller.known = true;
            caller.isAdmin = admin.load();
            return caller;
        },
        name);
    ASSERT_TRUE(server.Start());

    const char* const refused[] = {R"({"cmd":"cleanup"})", R"({"cmd":"portselftest"})",
                                   R"({"cmd":"submit","path":"C:\\docs\\a.bin","sn":"X"})", R"({"cmd":"diag"})"};
    for (const char* request : refused)
        EXPECT_EQ(IpcRequest(request, 2000, name), Err("此操作需要管理员权限，请以管理员身份运行")) << request;
    EXPECT_TRUE(print_.HasQueue(L"Quillnet-收银")) << "a refused cleanup deleted a queue";
    EXPECT_EQ(IpcRequest(R"({"cmd":"ping"})", 2000, name), kOkEmpty);
    EXPECT_EQ(IpcRequest(R"({"cmd":"list"})", 2000, name), Ok("[]"));
    EXPECT_EQ(IpcRequest(R"({"cmd":"config"})", 2000, name),
              Ok(R"({"multiPrint":false,"showMessage":false,"language":"auto"})"));
    EXPECT_EQ(probed.load(), 7);

    admin = true;
    EXPECT_EQ(IpcRequest(R"({"cmd":"cleanup"})", 2000, name), Ok("\"2\""));
    EXPECT_FALSE(print_.HasQueue(L"Quillnet-收银"));
    server.Stop();

    // The real probe reads the client of the exchange: this very process.
    std::atomic<uint32_t> seenPid{0};
    IpcServer real(
        [&](const std::string&, const IpcCaller& caller) {
            seenPid = caller.processId;
            return std::string("{\"ok\":true}");
        },
        IdentifyPipeClient, name);
    ASSERT_TRUE(real.Start());
    EXPECT_EQ(IpcRequest(R"({"cmd":"ping"})", 2000, name), "{\"ok\":true}");
    EXPECT_EQ(seenPid.load(), GetCurrentProcessId());
}

TEST_F(ProtocolTest, PortSelfTestFailureCarriesItsText) {
    print_.wmiReachable = false;
    StartCore();
    std::string reply = Ask(R"({"cmd":"portselftest"})");
    EXPECT_EQ(reply.rfind("{\"ok\":false,\"error\":\"创建端口失败：", 0), 0u) << reply;
}

TEST_F(ProtocolTest, AddReportsTheCloudsAnswer) {
    StartCore();
    cloud_.Rules(R"([{"path":"/v1/auth/device-token","status":404,"times":1}])");
    EXPECT_EQ(Ask(R"({"cmd":"add","sn":"PROTOADD","crc":"1234","name":"前台"})"),
              Err("打印服务器尚未开通设备校验"));
    EXPECT_EQ(Ask(R"({"cmd":"list"})"), Ok("[]"));

    cloud_.Config(R"({"codes":{"PROTOADD":"1234"}})");
    EXPECT_EQ(Ask(R"({"cmd":"add","sn":"PROTOADD","crc":"9999","name":"前台"})"),
              Err("验证码错误"));

    EXPECT_EQ(Ask(R"({"cmd":"add","sn":"PROTOADD","crc":"1234","name":"前台"})"), kOkEmpty);
    std::vector<test::RecordedRequest> tokens = cloud_.RequestsTo("/v1/auth/device-token");
    ASSERT_FALSE(tokens.empty());
    EXPECT_NE(tokens.back().body.find("\"PROTOADD\""), std::string::npos) << tokens.back().body;

    // The device object: every member, in order.
    DeviceRecord d = core_->FindDevice("PROTOADD");
    ASSERT_EQ(d.sn, "PROTOADD");
    EXPECT_EQ(d.devname, "前台");
    EXPECT_EQ(d.media, "receipt");
    const std::string expected =
        Ok("[{\"sn\":\"PROTOADD\",\"devname\":\"前台\",\"printer\":\"\",\"port\":" +
           std::to_string(d.port) + ",\"network\":\"" + d.network + "\",\"lanIp\":\"" + d.lanIp +
           "\",\"status\":" + std::to_string(d.status) + "}]");
    EXPECT_EQ(Ask(R"({"cmd":"list"})"), expected);
    EXPECT_GE(d.port, 39100);

    EXPECT_EQ(Ask(R"({"cmd":"remove","sn":"PROTOADD"})"), kOkEmpty);
    EXPECT_EQ(Ask(R"({"cmd":"list"})"), Ok("[]"));
}

TEST_F(ProtocolTest, BindAndRepairReplyWithIssueObjects) {
    StoreDevice("PROTO1", 39180, "收银一号");
    StartCore();
    EXPECT_EQ(Ask(R"({"cmd":"repair","sn":"PROTO1"})"),
              Ok(R"([{"code":"NO_PRINTER","message":"尚未绑定打印机","fixed":false}])"));
    EXPECT_EQ(Ask(R"({"cmd":"bind","sn":"PROTO1","printer":"不存在的队列"})"),
              Err("打印机队列不存在"));

    // The loopback port is made and the queue moved onto it; the issue with
    // a detail carries arg1 only, the one without carries neither.
    EXPECT_EQ(Ask(R"({"cmd":"bind","sn":"PROTO1","printer":"收银台"})"),
              Ok(R"([{"code":"PORT_MISSING","message":"端口 Quillnet39180 不存在","fixed":true,)"
                 R"("arg1":"Quillnet39180"},)"
                 R"({"code":"BIDI_ENABLED","message":"已开启双向支持","fixed":true}])"));
    EXPECT_EQ(print_.FindQueue(L"收银台")->port, L"Quillnet39180");

    // The queue is healthy now: a repair finds nothing.
    EXPECT_EQ(Ask(R"({"cmd":"repair","sn":"PROTO1"})"), Ok("[]"));
    EXPECT_NE(Ask(R"({"cmd":"list"})").find("\"printer\":\"收银台\""), std::string::npos);
}

TEST_F(ProtocolTest, RetryCancelJobsAndJobTip) {
    StoreDevice("PROTO1", 39181);
    StartCore();
    int64_t first = AddJob("PROTO1");
    ASSERT_GT(first, 0);
    // Job 42 exists, so an id given as text or as a fractional number reaches it.
    RawSql("UPDATE job SET id=42 WHERE id=" + std::to_string(first));
    auto state42 = [this] {
        for (const JobRecord& j : core_->ListJobs(50))
            if (j.id == 42) return j.state;
        return -1;
    };
    struct Retry {
        const char* id;
        bool reaches42;
    };
    const Retry retries[] = {
        {R"("42")", true}, {"42.9", true}, {"42", true}, {R"("-42")", false}, {R"(" 42")", false},
        {R"("42 ")", false}, {R"("99999999999999999999")", false}, {"1e300", false},
        {"true", false}, {R"(["42"])", false},
    };
    for (const Retry& r : retries) {
        SCOPED_TRACE(r.id);
        RawSql("UPDATE job SET state=3, retries=8 WHERE id=42");
        std::string reply = Ask(std::string(R"({"cmd":"retry","id":)") + r.id + "}");
        if (r.reaches42) {
            EXPECT_EQ(reply, kOkEmpty);
            EXPECT_EQ(state42(), kJobCompleted);
        } else {
            EXPECT_EQ(reply, Err("重打失败"));
            EXPECT_EQ(state42(), kJobAborted);
        }
    }
    EXPECT_EQ(Ask(R"({"cmd":"cancel","id":42})"), kOkEmpty);
    EXPECT_EQ(state42(), kJobCanceled);

    // Two more jobs in known states; the newest comes first.
    const std::string odd = "C:\\spool\\data\\a\"b.dat";
    RawSql("UPDATE job SET state=3, retries=8, error='云端：设备离线', path='" + odd +
           "' WHERE id=" + std::to_string(AddJob("PROTO1")));
    RawSql("UPDATE job SET state=7 WHERE id=" + std::to_string(AddJob("PROTO1")));

    std::vector<JobRecord> jobs = core_->ListJobs(50);
    ASSERT_EQ(jobs.size(), 3u);
    ASSERT_EQ(jobs[0].state, 7);
    ASSERT_EQ(jobs[1].state, kJobAborted);
    ASSERT_EQ(jobs[2].id, 42);
    auto object = [](const JobRecord& j, const std::string& stateText) {
        return "{\"id\":" + std::to_string(j.id) + ",\"sn\":\"PROTO1\",\"state\":" +
               std::to_string(j.state) + ",\"stateText\":\"" + stateText +
               "\",\"retries\":" + std::to_string(j.retries) + ",\"error\":\"" + j.error +
               "\",\"createdAt\":\"" + j.created_at + "\",\"path\":\"" + Escaped(j.path) + "\"}";
    };
    EXPECT_EQ(jobs[1].path, odd);
    EXPECT_FALSE(jobs[0].created_at.empty());
    EXPECT_EQ(Ask(R"({"cmd":"jobs"})"),
              Ok("[" + object(jobs[0], "unknown") + "," + object(jobs[1], "aborted") + "," +
                 object(jobs[2], "canceled") + "]"));

    // The tip is the newest job that came in through intake while notices
    // are on; its id travels as a number.
    ASSERT_EQ(Ask(R"({"cmd":"setconfig","showMessage":true})"), kOkEmpty);
    int64_t tipId = core_->Jobs().EnqueueJob("PROTO1", dir_ / L"job_1.dat", 0, "tip-1");
    ASSERT_GT(tipId, 0);
    JobTip tip = core_->GetJobTip();
    ASSERT_EQ(tip.id, tipId);
    EXPECT_EQ(Ask(R"({"cmd":"jobtip"})"),
              Ok("{\"id\":" + std::to_string(tipId) + ",\"time\":\"" + tip.time + "\"}"));
}

TEST_F(ProtocolTest, JobsListsAtMostFifty) {
    StartCore();
    for (int i = 0; i < 55; ++i) ASSERT_GT(AddJob("PROTO1"), 0);
    std::string reply = Ask(R"({"cmd":"jobs"})");
    cJSON* root = cJSON_Parse(reply.c_str());
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(root, "data")), 50) << reply;
    cJSON_Delete(root);
}

TEST_F(ProtocolTest, SetConfigReadsSwitchesAndLanguage) {
    StartCore();
    struct Case {
        const char* members;
        const char* stored;
    };
    const Case cases[] = {
        {R"("multiPrint":"True","showMessage":"true","language":"en")",
         R"({"multiPrint":true,"showMessage":true,"language":"en"})"},
        {R"("multiPrint":"1","showMessage":true)",
         R"({"multiPrint":true,"showMessage":true,"language":"auto"})"},
        {R"("multiPrint":"TRUE","showMessage":"yes","language":"zh")",
         R"({"multiPrint":false,"showMessage":false,"language":"zh"})"},
        {R"("multiPrint":"0","showMessage":"","language":7)",
         R"({"multiPrint":false,"showMessage":false,"language":"auto"})"},
        {R"("multiPrint":2.5,"showMessage":-1)",
         R"({"multiPrint":true,"showMessage":true,"language":"auto"})"},
        {R"("multiPrint":0,"showMessage":false)",
         R"({"multiPrint":false,"showMessage":false,"language":"auto"})"},
        {R"("multiPrint":null,"showMessage":[1],"language":"中文")",
         R"({"multiPrint":false,"showMessage":false,"language":"中文"})"},
        {R"("MultiPrint":true,"showmessage":true)",
         R"({"multiPrint":false,"showMessage":false,"language":"auto"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.members);
        EXPECT_EQ(Ask(std::string("{\"cmd\":\"setconfig\",") + c.members + "}"), kOkEmpty);
        EXPECT_EQ(Ask(R"({"cmd":"config"})"), Ok(c.stored));
        SettingsRecord s = core_->GetSettings();
        EXPECT_FALSE(s.api_enabled);
        EXPECT_EQ(s.api_port, 39199);
    }
}

TEST_F(ProtocolTest, SetConfigThatCannotBeSavedSaysSo) {
    StartCore();
    ASSERT_EQ(Ask(R"({"cmd":"setconfig","multiPrint":true,"language":"en"})"), kOkEmpty);
    RawSql("CREATE TRIGGER refuse BEFORE INSERT ON sysconf BEGIN SELECT RAISE(ABORT,'no'); END");
    EXPECT_EQ(Ask(R"({"cmd":"setconfig","multiPrint":false,"language":"zh"})"), Err("保存设置失败"));
    EXPECT_EQ(Ask(R"({"cmd":"config"})"),
              Ok(R"({"multiPrint":true,"showMessage":false,"language":"en"})"));
    RawSql("DROP TRIGGER refuse");
    EXPECT_EQ(Ask(R"({"cmd":"setconfig","multiPrint":false,"language":"zh"})"), kOkEmpty);
    EXPECT_EQ(Ask(R"({"cmd":"config"})"),
              Ok(R"({"multiPrint":false,"showMessage":false,"language":"zh"})"));
}

TEST_F(ProtocolTest, TestPrintReachesAKnownDevice) {
    StoreDevice("PROTO1", 39182);
    StartCore();
    EXPECT_EQ(Ask(R"({"cmd":"test","sn":"PROTO1"})"), kOkEmpty);
    std::vector<test::RecordedRequest> uploads = cloud_.RequestsTo("/v1/files");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].part.size,
              static_cast<int64_t>(Core::TestPage("2026-01-01T00:00:00").size()));
}

// Random requests of many kinds; a fixed seed per thread keeps failures
// repeatable.
class RequestFuzzer {
public:
    explicit RequestFuzzer(uint32_t seed) : rng_(seed) {}

    std::string Next() {
        switch (Below(8)) {
            case 0: return RandomBytes(Below(300));
            case 1: {
                std::string r = Structured();
                return r.substr(0, Below(static_cast<uint32_t>(r.size()) + 1));
            }
            case 2: return Nested();
            case 3: {
                std::string r = Structured();
                for (uint32_t k = Below(4) + 1; k > 0 && !r.empty(); --k)
                    r[Below(static_cast<uint32_t>(r.size()))] = static_cast<char>(rng_());
                return r;
            }
            case 4:
                if (Below(20) == 0) return "{\"cmd\":" + HugeString() + "}";
                [[fallthrough]];
            default: return Structured();
        }
    }

private:
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : rng_() % n; }

    std::string RandomBytes(size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng_());
        return s;
    }

    std::string HugeString() {
        return "\"" + std::string(100000 + Below(700000), static_cast<char>('a' + Below(26))) + "\"";
    }

    std::string JsonString() {
        static const char* const pieces[] = {
            "a", "PROTO1", "42", "True", "1", "0", "中文", "\\\"", "\\\\", "\\n", "\\u0041",
            "\\u4e2d", "\\ud83d\\ude00", "\\ud800", "\\udc00x", "\\u0000", "\\x", "\t",
            "\xE4\xB8", "\xFF", "C:\\\\x", "%s%n", "\x7F",
        };
        std::string s = "\"";
        for (uint32_t k = Below(6); k > 0; --k) s += pieces[Below(std::size(pieces))];
        return s + "\"";
    }

    std::string Value(int depth) {
        switch (Below(depth > 3 ? 7 : 9)) {
            case 0: return JsonString();
            case 1: {
                static const char* const numbers[] = {"0", "-0", "42", "42.9", "-7", "1e308",
                                                      "1e999", "-1e999", "9223372036854775807",
                                                      "9223372036854775808", "1.5e-320", "3"};
                return numbers[Below(std::size(numbers))];
            }
            case 2: return "true";
            case 3: return "false";
            case 4: return "null";
            case 5: return Below(40) == 0 ? HugeString() : JsonString();
            case 6: return std::to_string(static_cast<int32_t>(rng_()));
            case 7: {
                std::string a = "[";
                for (uint32_t k = Below(4); k > 0; --k) a += Value(depth + 1) + (k > 1 ? "," : "");
                return a + "]";
            }
            default: {
                std::string o = "{";
                for (uint32_t k = Below(4); k > 0; --k)
                    o += JsonString() + ":" + Value(depth + 1) + (k > 1 ? "," : "");
                return o + "}";
            }
        }
    }

    std::string Structured() {
        static const char* const commands[] = {
            "ping", "list", "printers", "drivers", "add", "bind", "remove", "repair",
            "test", "refresh", "jobtip", "jobs", "retry", "cancel", "submit", "config",
            "setconfig", "portselftest", "diag", "cleanup", "Ping", "", "pingx"};
        static const char* const names[] = {"sn", "crc", "name", "printer", "id", "path",
                                            "multiPrint", "showMessage", "language", "cmd"};
        std::string cmd = Below(10) == 0 ? Value(0)
                                         : std::string("\"") + commands[Below(std::size(commands))] + "\"";
        std::string r = "{\"cmd\":" + cmd;
        for (uint32_t k = Below(5); k > 0; --k)
            r += std::string(",\"") + names[Below(std::size(names))] + "\":" + Value(0);
        return r + "}";
    }

    std::string Nested() {
        uint32_t depth = 1 + Below(3000);
        std::string open, close;
        for (uint32_t k = 0; k < depth; ++k) {
            bool array = Below(2) == 0;
            open += array ? "[" : "{\"k\":";
            close.insert(close.begin(), array ? ']' : '}');
        }
        std::string r = "{\"cmd\":\"ping\",\"deep\":" + open + "1" + close + "}";
        if (Below(3) == 0) r.resize(Below(static_cast<uint32_t>(r.size())));
        return r;
    }

    std::mt19937 rng_;
};

TEST_F(ProtocolTest, RandomRequestsAlwaysGetACompactReplyAndTheCoreKeepsServing) {
    StartCore();
    // Every verification fails, so random "add" requests bind nothing.
    cloud_.Config(R"({"codes":{"NOBODY":"none"}})");
    constexpr int kThreads = 4;
    constexpr int kPerThread = 800;
    std::vector<std::vector<std::string>> problems(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RequestFuzzer fuzz(20261210u + static_cast<uint32_t>(t));
            for (int i = 0; i < kPerThread; ++i) {
                std::string request = fuzz.Next();
                std::string reply = HandleCommand(*core_, request);
                std::string problem = ReplyProblem(reply);
                if (!problem.empty() && problems[t].size() < 10)
                    problems[t].push_back(problem + " | request " + request.substr(0, 200) +
                                          " | reply " + reply.substr(0, 300));
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (const auto& list : problems)
        for (const std::string& p : list) ADD_FAILURE() << p;

    EXPECT_TRUE(core_->IsRunning());
    EXPECT_EQ(Ask(R"({"cmd":"ping"})"), kOkEmpty);
    EXPECT_EQ(Ask(R"({"cmd":"setconfig","multiPrint":"1","showMessage":0,"language":"en"})"), kOkEmpty);
    EXPECT_EQ(Ask(R"({"cmd":"config"})"),
              Ok(R"({"multiPrint":true,"showMessage":false,"language":"en"})"));
    EXPECT_EQ(Ask(R"({"cmd":"list"})"), Ok("[]"));
    EXPECT_EQ(ReplyProblem(Ask(R"({"cmd":"jobs"})")), "");
}

TEST_F(ProtocolTest, CommandsOverTheRealPipe) {
    StartCore();
    const std::wstring name = test::UniquePipeName();
    IpcServer server([this](const std::string& r) { return HandleCommand(*core_, r); }, name);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(IpcRequest(R"({"cmd":"ping"})", 2000, name), kOkEmpty);
    EXPECT_EQ(IpcRequest(R"({"cmd":"PING"})", 2000, name), Err("未知命令：PING"));

    // A reply far longer than one pipe buffer arrives whole.
    std::string longName(900000, 'n');
    EXPECT_EQ(IpcRequest("{\"cmd\":\"" + longName + "\"}", 2000, name), Err("未知命令：" + longName));

    // Four clients at once, each with its own settings request.
    std::vector<std::string> replies(4);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&, i] { replies[i] = IpcRequest(R"({"cmd":"config"})", 5000, name); });
    for (std::thread& c : clients) c.join();
    for (const std::string& r : replies)
        EXPECT_EQ(r, Ok(R"({"multiPrint":false,"showMessage":false,"language":"auto"})"));
    server.Stop();
}

}  // namespace
}  // namespace qs
