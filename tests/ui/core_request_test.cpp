// The UI's request helper against a fake core on a private pipe, and the
// JSON readers as tables of the replies they meet.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ui/core_request.h"
#include "ui/fake_core.h"

namespace qs {
namespace {

JsonPtr Parse(const std::string& text) { return JsonPtr(cJSON_Parse(text.c_str())); }

std::string Print(const cJSON* json) {
    char* printed = cJSON_PrintUnformatted(json);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    return text;
}

class CoreRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(core_.Start());
        SetCorePipeName(core_.PipeName());
    }
    void TearDown() override { SetCorePipeName(L""); }
    test::FakeCore core_;
};

TEST_F(CoreRequestTest, SendsCmdFirstAndOnlyScalarMembersInOrder) {
    core_.SetReply("bind", R"({"ok":true,"data":{"n":7}})");
    JsonPtr params = Parse(
        R"({"sn":"A1","nested":{"x":1},"port":39100,"list":[1,2],"quiet":true,)"
        R"("none":null,"off":false,"name":"前台"})");
    ASSERT_TRUE(params);
    JsonPtr reply = CoreRequest("bind", std::move(params), 3000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Print(reply.get()), R"({"ok":true,"data":{"n":7}})");
    ASSERT_EQ(core_.Requests().size(), 1u);
    EXPECT_EQ(core_.Requests()[0],
              R"({"cmd":"bind","sn":"A1","port":39100,"quiet":true,"off":false,"name":"前台"})");
}

TEST_F(CoreRequestTest, NoParametersAndNonObjectParametersSendCmdAlone) {
    core_.SetReply("list", R"({"ok":true,"data":[]})");
    EXPECT_TRUE(CoreRequest("list", nullptr, 3000));
    EXPECT_TRUE(CoreRequest("list", Parse("[1,2]"), 3000));
    ASSERT_EQ(core_.Requests().size(), 2u);
    EXPECT_EQ(core_.Requests()[0], R"({"cmd":"list"})");
    EXPECT_EQ(core_.Requests()[1], R"({"cmd":"list"})");
}

TEST_F(CoreRequestTest, UnparsableAnswerIsNullAndReadsAsNoAnswer) {
    core_.SetReply("refresh", "{\"ok\":tru");
    JsonPtr broken = CoreRequest("refresh", nullptr, 3000);
    EXPECT_FALSE(broken);
    EXPECT_EQ(ReplyError(broken.get()), "服务无响应");
}

TEST_F(CoreRequestTest, AbsentCoreGetsTheFixedReplyWithoutARequest) {
    core_.SetReply("list", R"({"ok":true,"data":[]})");
    SetCorePipeName(test::UniquePipeName());  // nobody serves this one
    EXPECT_FALSE(ProbeUiCore(40));
    JsonPtr reply = CoreRequest("list", Parse(R"({"sn":"A1"})"), 3000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Print(reply.get()), R"({"ok":false,"error":"打印服务未运行或未安装"})");
    EXPECT_EQ(ReplyError(reply.get()), "打印服务未运行或未安装");
    EXPECT_TRUE(core_.Requests().empty());

    // The real pipe name comes back with an empty name.
    SetCorePipeName(L"");
    EXPECT_EQ(CorePipeName(), std::wstring(kIpcPipeName));
}

TEST_F(CoreRequestTest, StoppedCoreIsAbsentAndARestartedOneAnswers) {
    core_.SetReply("jobtip", R"({"ok":true,"data":{"id":3}})");
    core_.Stop();
    EXPECT_FALSE(ProbeUiCore(40));
    EXPECT_EQ(ReplyError(CoreRequest("jobtip", nullptr, 3000).get()), "打印服务未运行或未安装");
    ASSERT_TRUE(core_.Start());
    EXPECT_TRUE(ProbeUiCore(120));
    JsonPtr reply = CoreRequest("jobtip", nullptr, 3000);
    EXPECT_EQ(ReplyError(reply.get()), "");
    EXPECT_EQ(JsonInt64(cJSON_GetObjectItem(reply.get(), "data"), "id", 0), 3);
}

TEST(JsonFlag, Table) {
    struct Row {
        const char* json;
        bool fallback;
        bool expected;
    };
    const Row rows[] = {
        {R"({})", false, false},
        {R"({})", true, true},
        {R"({"k":true})", false, true},
        {R"({"k":false})", true, false},
        {R"({"k":1})", false, true},
        {R"({"k":-2.5})", false, true},
        {R"({"k":0})", true, false},
        {R"({"k":"1"})", false, true},
        {R"({"k":"true"})", false, true},
        {R"({"k":"True"})", false, true},
        {R"({"k":"TRUE"})", true, false},
        {R"({"k":"yes"})", true, false},
        {R"({"k":"0"})", true, false},
        {R"({"k":""})", true, false},
        {R"({"k":null})", true, true},
        {R"({"k":null})", false, false},
        {R"({"k":[1]})", true, true},
        {R"({"k":{"a":1}})", false, false},
        {R"({"K":true})", false, false},  // keys are case-sensitive
    };
    for (const Row& row : rows) {
        JsonPtr json = Parse(row.json);
        ASSERT_TRUE(json) << row.json;
        EXPECT_EQ(JsonFlag(json.get(), "k", row.fallback), row.expected)
            << row.json << " fallback " << row.fallback;
    }
    EXPECT_TRUE(JsonFlag(nullptr, "k", true));
    EXPECT_FALSE(JsonFlag(Parse("[true]").get(), "k", false));
}

TEST(ReplyError, Table) {
    struct Row {
        const char* json;
        const char* expected;
    };
    const Row rows[] = {
        {R"({"ok":true})", ""},
        {R"({"ok":"1","error":"ignored"})", ""},
        {R"({"ok":false,"error":"设备不存在"})", "设备不存在"},
        {R"({"ok":false,"error":""})", "操作失败"},
        {R"({"ok":false})", "操作失败"},
        {R"({"error":"no ok member"})", "no ok member"},
        {R"({"ok":false,"error":42})", "操作失败"},
        {R"({})", "操作失败"},
        {R"([])", "操作失败"},
    };
    for (const Row& row : rows) {
        JsonPtr json = Parse(row.json);
        ASSERT_TRUE(json) << row.json;
        EXPECT_EQ(ReplyError(json.get()), row.expected) << row.json;
    }
    EXPECT_EQ(ReplyError(nullptr), "服务无响应");
}

TEST(JsonInt, Table) {
    struct Row {
        const char* json;
        int32_t expected32;  // with fallback -1
        int64_t expected64;  // with fallback -1
    };
    const Row rows[] = {
        {R"({"k":101})", 101, 101},
        {R"({"k":-7})", -7, -7},
        {R"({"k":3.9})", 3, 3},
        {R"({"k":-3.9})", -3, -3},
        {R"({"k":"101"})", 101, 101},
        {R"({"k":"  42abc"})", 42, 42},
        {R"({"k":"+5"})", 5, 5},
        {R"({"k":"-12 kg"})", -12, -12},
        {R"({"k":"\t9"})", 9, 9},
        {R"({"k":"abc"})", -1, -1},
        {R"({"k":""})", -1, -1},
        {R"({"k":"- 5"})", -1, -1},
        {R"({"k":"0x1F"})", 0, 0},
        {R"({"k":2147483647})", 2147483647, 2147483647},
        {R"({"k":-2147483648})", INT32_MIN, -2147483648LL},
        {R"({"k":2147483648})", -1, 2147483648LL},
        {R"({"k":"2147483648"})", -1, 2147483648LL},
        {R"({"k":"-2147483649"})", -1, -2147483649LL},
        {R"({"k":1700000000123})", -1, 1700000000123LL},
        {R"({"k":"9223372036854775807"})", -1, INT64_MAX},
        {R"({"k":"9223372036854775808"})", -1, -1},
        {R"({"k":1e300})", -1, -1},
        {R"({"k":-1e300})", -1, -1},
        {R"({"k":true})", -1, -1},
        {R"({"k":null})", -1, -1},
        {R"({"k":[5]})", -1, -1},
        {R"({"k":{"v":5}})", -1, -1},
        {R"({})", -1, -1},
    };
    for (const Row& row : rows) {
        JsonPtr json = Parse(row.json);
        ASSERT_TRUE(json) << row.json;
        EXPECT_EQ(JsonInt(json.get(), "k", -1), row.expected32) << row.json;
        EXPECT_EQ(JsonInt64(json.get(), "k", -1), row.expected64) << row.json;
    }
    EXPECT_EQ(JsonInt(nullptr, "k", 8), 8);
    EXPECT_EQ(JsonInt64(Parse("[1]").get(), "k", 9), 9);
}

TEST(JsonString, Table) {
    struct Row {
        const char* json;
        const char* expected;
    };
    const Row rows[] = {
        {R"({"k":"前台小票机"})", "前台小票机"},
        {R"({"k":""})", ""},
        {R"({"k":5})", ""},
        {R"({"k":null})", ""},
        {R"({"k":["a"]})", ""},
        {R"({})", ""},
    };
    for (const Row& row : rows) {
        JsonPtr json = Parse(row.json);
        ASSERT_TRUE(json) << row.json;
        EXPECT_EQ(JsonString(json.get(), "k"), row.expected) << row.json;
    }
    EXPECT_EQ(JsonString(nullptr, "k"), "");
}

}  // namespace
}  // namespace qs
