// Reading the server's JSON and building URLs: the rules that decide what a
// response means, as tables.
#include "cloud/cloud_wire.h"

#include <cJSON.h>
#include <gtest/gtest.h>

#include <limits>

namespace qs {
namespace {

TEST(PercentEncode, KeepsUnreservedAndEscapesEverythingElse) {
    struct Case { std::string in, out; } cases[] = {
        {"QN2024-01_a.b~Z9", "QN2024-01_a.b~Z9"},
        {"A&B", "A%26B"},
        {"a b", "a%20b"},
        {"x#y?z=1", "x%23y%3Fz%3D1"},
        {"/%+", "%2F%25%2B"},
        {"\xe4\xb8\xad", "%E4%B8%AD"},
        {std::string("a\0b", 3), "a%00b"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PercentEncode(c.in), c.out) << c.in;
}

TEST(ReadIntegers, NumbersAndDecimalStringsOnly) {
    struct Case { const char* json; int64_t want64; int32_t want32; } cases[] = {
        {R"({"v":3600})", 3600, 3600},
        {R"({"v":"3600"})", 3600, 3600},
        {R"({"v":"-12"})", -12, -12},
        {R"({"v":"+5"})", 5, 5},
        {R"({"v":1900.9})", 1900, 1900},
        {R"({"v":-2.7})", -2, -2},
        {R"({"v":"12a"})", -7, -7},
        {R"({"v":" 12"})", -7, -7},
        {R"({"v":"1e3"})", -7, -7},
        {R"({"v":""})", -7, -7},
        {R"({"v":"-"})", -7, -7},
        {R"({"v":true})", -7, -7},
        {R"({"v":null})", -7, -7},
        {R"({"v":[1]})", -7, -7},
        {R"({"w":1})", -7, -7},
        {R"({"v":1e300})", -7, -7},
        {R"({"v":"99999999999999999999"})", -7, -7},
        {R"({"v":"2147483648"})", 2147483648LL, -7},
        {R"({"v":-2147483649})", -2147483649LL, -7},
        {R"({"v":"-2147483648"})", -2147483648LL, std::numeric_limits<int32_t>::min()},
        {R"({"v":"9223372036854775807"})", std::numeric_limits<int64_t>::max(), -7},
    };
    for (const auto& c : cases) {
        cJSON* root = cJSON_Parse(c.json);
        ASSERT_NE(root, nullptr) << c.json;
        EXPECT_EQ(ReadInt64(root, "v", -7), c.want64) << c.json;
        EXPECT_EQ(ReadInt32(root, "v", -7), c.want32) << c.json;
        cJSON_Delete(root);
    }
}

TEST(ReadString, OnlyJsonStrings) {
    cJSON* root = cJSON_Parse(R"({"s":"x","n":5,"e":""})");
    EXPECT_EQ(ReadString(root, "s", "d"), "x");
    EXPECT_EQ(ReadString(root, "n", "d"), "d");
    EXPECT_EQ(ReadString(root, "e", "d"), "");
    EXPECT_EQ(ReadString(root, "missing", "d"), "d");
    EXPECT_EQ(ReadString(nullptr, "s", "d"), "d");
    cJSON_Delete(root);
}

TEST(JsonBody, FieldsComeFromDataWhenPresent) {
    {
        JsonBody b(R"({"data":{"id":"inner"},"id":"outer"})");
        EXPECT_EQ(ReadString(b.Fields(), "id"), "inner");
        EXPECT_NE(b.Data(), nullptr);
    }
    {
        JsonBody b(R"({"id":"outer"})");
        EXPECT_EQ(ReadString(b.Fields(), "id"), "outer");
        EXPECT_EQ(b.Data(), nullptr);
    }
    {
        // A "data" that is no object hides the top level all the same.
        JsonBody b(R"({"data":null,"id":"outer"})");
        EXPECT_EQ(ReadString(b.Fields(), "id"), "");
        EXPECT_EQ(b.Data(), nullptr);
    }
    {
        JsonBody b("");
        EXPECT_TRUE(cJSON_IsObject(b.root()));
        EXPECT_EQ(ReadString(b.Fields(), "id", "none"), "none");
    }
    {
        JsonBody b("<html>");
        EXPECT_EQ(b.Fields(), nullptr);
        EXPECT_EQ(ReadInt64(b.Fields(), "id", 9), 9);
    }
}

TEST(ReadErrorBody, CodeAndMessageShapes) {
    struct Case { std::string body; bool found; int32_t code; std::string message; } cases[] = {
        {R"({"error":{"code":4003,"message":"bad code"}})", true, 4003, "bad code"},
        {R"({"error":{"code":"4003","message":"bad code"}})", true, 4003, "bad code"},
        {R"({"error":{"code":"4003"}})", true, 4003, "4003"},
        {R"({"error":{"code":"DEVICE_OFFLINE"}})", true, -1, "DEVICE_OFFLINE"},
        {R"({"error":{"message":"only text"}})", true, -1, "only text"},
        {R"({"error":{"code":7,"message":5}})", true, 7, ""},
        {R"({"error":{}})", true, -1, ""},
        {R"({"error":"flat"})", true, -1, ""},
        {R"({"message":"no error member"})", false, -1, ""},
        {"", false, -1, ""},
        {"Internal Server Error", false, -1, ""},
    };
    for (const auto& c : cases) {
        ErrorBody e = ReadErrorBody(c.body);
        EXPECT_EQ(e.found, c.found) << c.body;
        EXPECT_EQ(e.code, c.code) << c.body;
        EXPECT_EQ(e.message, c.message) << c.body;
    }
}

}  // namespace
}  // namespace qs
