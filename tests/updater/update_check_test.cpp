// The updater's decisions as tables: versions, the staged rollout, the
// development-run rule and what a manifest response turns into.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ui_text.h"
#include "updater/update_check.h"

namespace qs {
namespace {

TEST(ParseVersionTest, ReadsNumbersUntilTheFirstForeignCharacter) {
    struct Case {
        const char* text;
        std::vector<int32_t> parts;
    } cases[] = {
        {"v1.2.10", {1, 2, 10}},
        {"V4.3", {4, 3}},
        {"1.2-beta", {1, 2}},
        {" 4.3", {4, 3}},
        {"\t 4.3.0.1", {4, 3, 0, 1}},
        {"x1", {}},
        {"", {}},
        {"4..3", {4, 3}},
        {"4.3 beta", {4, 3}},       // a blank after a digit ends the scan
        {"4.3.", {4, 3}},
        {"12", {12}},
        // Far too many digits: held at the largest int, not wrapped round
        // into a number that would look older.
        {"99999999999999999999.1", {2147483647, 1}},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseVersion(c.text), c.parts) << '"' << c.text << '"';
}

TEST(IsNewerTest, ComparesPartByPartWithMissingPartsAsZero) {
    struct Case {
        const char* a;
        const char* b;
        bool newer;
    } cases[] = {
        {"4.3", "4.3.0", false},
        {"4.3.0", "4.3", false},
        {"4.3.0.1", "4.3.0", true},
        {"v4.4", "4.3.0", true},
        {"4.3.0", "4.3.1", false},
        {"4.10", "4.9.9", true},
        {"5", "4.99.99", true},
        {"", "4.3.0", false},
        {"beta", "", false},
        {"0.0.1", "", true},
        {"4.3.0", "4.3.0", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsNewer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
}

TEST(RolloutTest, Fnv1aMatchesPublishedVectors) {
    EXPECT_EQ(Fnv1a32(""), 0x811C9DC5u);
    EXPECT_EQ(Fnv1a32("a"), 0xE40C292Cu);
    EXPECT_EQ(Fnv1a32("foobar"), 0xBF9CF968u);
}

TEST(RolloutTest, ShareDecidesByTheHashOfTheIdentifierTheSameEveryTime) {
    // FNV-1a of this identifier worked out by hand: 0x86D04DB5 = 2261798325,
    // and 2261798325 mod 100 = 25.
    const std::string id = "0123456789abcdef0123456789abcdef";
    ASSERT_EQ(Fnv1a32(id), 0x86D04DB5u);
    struct Case {
        int32_t percent;
        bool in;
    } cases[] = {{0, false}, {-3, false}, {1, false}, {25, false}, {26, true},
                 {50, true}, {99, true}, {100, true}, {250, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(InRollout(id, c.percent), c.in) << c.percent;
        EXPECT_EQ(InRollout(id, c.percent), c.in) << c.percent << ", asked again";
    }
    // 0xADFDE867 mod 100 = 71: out at 50 where the first one is in.
    EXPECT_FALSE(InRollout("quillstone-rollout", 50));
    EXPECT_TRUE(InRollout("quillstone-rollout", 72));
    // Without an identifier (no LOCALAPPDATA) nobody is left out, unless 0.
    EXPECT_TRUE(InRollout("", 1));
    EXPECT_FALSE(InRollout("", 0));
}

TEST(DevelopmentRunTest, ABuildBinFolderAnywhereInThePathAnyCase) {
    struct Case {
        const wchar_t* path;
        bool dev;
    } cases[] = {
        {L"C:\\src\\Build\\Bin\\quillstone.exe", true},
        {L"D:\\x\\BUILD\\BIN\\sub\\quillstone.exe", true},
        {L"C:\\Program Files\\Quillstone\\quillstone.exe", false},
        {L"C:\\build\\binaries\\quillstone.exe", false},
        {L"C:\\build-bin\\quillstone.exe", false},
        {L"Z:\\work\\build\\x86_64\\src\\host\\quillstone.exe", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsDevelopmentRun(c.path), c.dev);
}

TEST(HostOfUrlTest, StripsSchemePortAndPath) {
    EXPECT_EQ(HostOfUrl("https://update.quillstone.example/"), "update.quillstone.example");
    EXPECT_EQ(HostOfUrl("http://127.0.0.1:18444/"), "127.0.0.1");
    EXPECT_EQ(HostOfUrl("https://h.example?x"), "h.example");
}

// DecideCheck with a fixed running version and base URL.
struct Decision {
    bool posted = false;
    UpdateResult result;
    int32_t level = -1;
    std::string log;
    int rolloutReads = 0;
};

Decision Decide(int32_t status, const std::string& body, bool interactive, const std::string& rolloutId = "",
                const std::string& error = "") {
    Decision d;
    HttpResponse response;
    response.status = status;
    response.body = body;
    response.error = error;
    CheckInput input;
    input.interactive = interactive;
    input.currentVersion = "4.3.0";
    input.baseUrl = "https://update.example/";
    input.rolloutId = [&d, rolloutId] {
        ++d.rolloutReads;
        return rolloutId;
    };
    CheckOutcome out = DecideCheck(response, input);
    d.posted = out.result != nullptr;
    if (out.result) d.result = *out.result;
    d.level = out.logLevel;
    d.log = out.logLine;
    return d;
}

const char kNewer[] =
    R"({"version":"4.4.0","url":"https://update.example/files/setup.exe","sha256":"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855","notes":"Faster"})";

TEST(DecideCheckTest, NewerVersionUnderTheBaseUrlIsOfferedWhetherAskedOrNot) {
    for (bool interactive : {false, true}) {
        Decision d = Decide(200, kNewer, interactive);
        ASSERT_TRUE(d.posted);
        EXPECT_EQ(d.result.resultKind, kUpdateAvailable);
        EXPECT_FALSE(d.result.forced);
        EXPECT_EQ(d.result.version, "4.4.0");
        EXPECT_EQ(d.result.downloadUrl, "https://update.example/files/setup.exe");
        EXPECT_EQ(d.result.sha256Hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(d.result.text, "Faster");
        EXPECT_EQ(d.level, 1);
        EXPECT_EQ(d.log, "检查更新：发现 4.4.0");
        EXPECT_EQ(d.rolloutReads, 0) << "a full rollout needs no identifier";
    }
}

TEST(DecideCheckTest, ManifestCases) {
    SetUiLanguage("en-US");
    struct Case {
        const char* name;
        int32_t status;
        const char* body;
        bool interactive;
        const char* rolloutId;
        bool posted;
        int32_t kind;
        bool forced;
        const char* text;
        const char* version;
        int32_t level;
        const char* log;
    } cases[] = {
        {"up to date, timer", 200, R"({"version":"4.3","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a.exe"})", false, "",
         false, 0, false, "", "", 1, "检查更新：已是最新 4.3.0"},
        {"up to date, asked", 200, R"({"version":"4.3.0.0","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a.exe"})", true, "",
         true, kUpdateUpToDate, false, "", "4.3.0", 1, "检查更新：已是最新 4.3.0"},
        {"v4.4 is newer", 200, R"({"version":"v4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a.exe"})", false, "", true,
         kUpdateAvailable, false, "", "v4.4", 1, "检查更新：发现 v4.4"},
        {"4.3.0.1 is newer", 200, R"({"version":"4.3.0.1","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a.exe"})", false, "",
         true, kUpdateAvailable, false, "", "4.3.0.1", 1, "检查更新：发现 4.3.0.1"},
        {"url elsewhere, newer: invalid", 200, R"({"version":"5.0","url":"https://evil.example/a.exe"})", true,
         "", true, kUpdateFailed, false, "Can't check for updates right now", "", 2,
         "检查更新：清单无效或地址不在 update.example"},
        {"url elsewhere, newer, timer: silent", 200, R"({"version":"5.0","url":"https://evil.example/a.exe"})",
         false, "", false, 0, false, "", "", 2, "检查更新：清单无效或地址不在 update.example"},
        {"look-alike host is elsewhere too", 200,
         R"({"version":"5.0","url":"https://update.example.evil.example/a.exe"})", true, "", true,
         kUpdateFailed, false, "Can't check for updates right now", "", 2,
         "检查更新：清单无效或地址不在 update.example"},
        {"url elsewhere, not newer: up to date", 200, R"({"version":"4.2","url":"https://evil.example/a.exe"})",
         true, "", true, kUpdateUpToDate, false, "", "4.3.0", 1, "检查更新：已是最新 4.3.0"},
        {"url compared without case", 200, R"({"version":"4.4","url":"HTTPS://Update.Example/a.exe","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"})", false,
         "", true, kUpdateAvailable, false, "", "4.4", 1, "检查更新：发现 4.4"},
        {"no version", 200, R"({"sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a.exe"})", true, "", true, kUpdateFailed, false,
         "Can't check for updates right now", "", 2, "检查更新：清单无效或地址不在 update.example"},
        {"empty body counts as {}", 200, "", true, "", true, kUpdateFailed, false,
         "Can't check for updates right now", "", 2, "检查更新：清单无效或地址不在 update.example"},
        {"not JSON", 200, "<html>", true, "", true, kUpdateFailed, false, "Can't check for updates right now",
         "", 2, "检查更新：清单无效或地址不在 update.example"},
        {"forced flag", 200, R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","forced":"true"})", false, "",
         true, kUpdateAvailable, true, "", "4.4", 1, "检查更新：发现 4.4（强制）"},
        {"rollout 0 skips, timer", 200, R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":0})",
         false, "", false, 0, false, "", "", 1, "检查更新：灰度未命中，本次跳过 4.4"},
        {"rollout 0 skips, asked: up to date", 200,
         R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":0})", true, "", true,
         kUpdateUpToDate, false, "", "4.3.0", 1, "检查更新：灰度未命中，本次跳过 4.4"},
        {"minVersion forces past rollout 0", 200,
         R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":0,"minVersion":"4.3.5","forced":false})",
         false, "", true, kUpdateAvailable, true, "", "4.4", 1, "检查更新：发现 4.4（强制）"},
        {"minVersion not above running", 200,
         R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":0,"minVersion":"4.3.0"})", false,
         "", false, 0, false, "", "", 1, "检查更新：灰度未命中，本次跳过 4.4"},
        {"rollout 50, id hashing to 25: in", 200,
         R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":50})", false,
         "0123456789abcdef0123456789abcdef", true, kUpdateAvailable, false, "", "4.4", 1, "检查更新：发现 4.4"},
        {"rollout \"50\" as text, id hashing to 71: out", 200,
         R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":"50"})", false,
         "quillstone-rollout", false, 0, false, "", "", 1, "检查更新：灰度未命中，本次跳过 4.4"},
        {"rollout 150 is everyone", 200,
         R"({"version":"4.4","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","url":"https://update.example/a","rolloutPercent":150})", false,
         "quillstone-rollout", true, kUpdateAvailable, false, "", "4.4", 1, "检查更新：发现 4.4"},
        {"newer without sha256: invalid", 200, R"({"version":"4.4","url":"https://update.example/a"})", true,
         "", true, kUpdateFailed, false, "Can't check for updates right now", "", 2,
         "检查更新：清单无效或地址不在 update.example"},
        {"newer without sha256, forced, timer: silent", 200,
         R"({"version":"4.4","url":"https://update.example/a","forced":true,"sha256":""})", false, "", false, 0,
         false, "", "", 2, "检查更新：清单无效或地址不在 update.example"},
        {"sha256 that is no digest: invalid", 200,
         R"({"version":"4.4","url":"https://update.example/a","sha256":"ABCDEF"})", true, "", true,
         kUpdateFailed, false, "Can't check for updates right now", "", 2,
         "检查更新：清单无效或地址不在 update.example"},
        {"sha256 of 64 characters not all hex: invalid", 200,
         R"({"version":"4.4","url":"https://update.example/a","sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b85g"})",
         true, "", true, kUpdateFailed, false, "Can't check for updates right now", "", 2,
         "检查更新：清单无效或地址不在 update.example"},
        {"not newer without sha256: up to date", 200, R"({"version":"4.3","url":"https://update.example/a"})",
         true, "", true, kUpdateUpToDate, false, "", "4.3.0", 1, "检查更新：已是最新 4.3.0"},
        {"HTTP 500, asked", 500, "{}", true, "", true, kUpdateFailed, false, "HTTP 500", "", 2,
         "检查更新失败：HTTP 500"},
        {"HTTP 404, timer: silent", 404, "", false, "", false, 0, false, "", "", 2, "检查更新失败：HTTP 404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decision d = Decide(c.status, c.body, c.interactive, c.rolloutId);
        ASSERT_EQ(d.posted, c.posted);
        if (c.posted) {
            EXPECT_EQ(d.result.resultKind, c.kind);
            EXPECT_EQ(d.result.forced, c.forced);
            if (c.kind != kUpdateAvailable) {
                EXPECT_EQ(d.result.text, c.text);
            }
            EXPECT_EQ(d.result.version, c.version);
        }
        EXPECT_EQ(d.level, c.level);
        EXPECT_EQ(d.log, c.log);
    }
}

TEST(DecideCheckTest, TransportFailureCarriesTheClientsError) {
    Decision failed = Decide(0, "", true, "", "Win32(12029) cannot connect");
    ASSERT_TRUE(failed.posted);
    EXPECT_EQ(failed.result.resultKind, kUpdateFailed);
    EXPECT_EQ(failed.result.text, "Win32(12029) cannot connect");
    EXPECT_EQ(failed.log, "检查更新失败：Win32(12029) cannot connect");
}

TEST(ParseManifestTest, TypesThatDoNotFitFallBackToDefaults) {
    UpdateManifest m = ParseManifest(R"({"version":4.4,"url":["x"],"forced":{},"rolloutPercent":"abc"})");
    EXPECT_EQ(m.version, "");
    EXPECT_EQ(m.url, "");
    EXPECT_FALSE(m.forced);
    EXPECT_EQ(m.rolloutPercent, 100);
    UpdateManifest n = ParseManifest(R"({"forced":1,"rolloutPercent":" 30%","minVersion":"4.3.1"})");
    EXPECT_TRUE(n.forced);
    EXPECT_EQ(n.rolloutPercent, 30);
    EXPECT_EQ(n.minVersion, "4.3.1");
    EXPECT_EQ(ParseManifest("[1,2]").version, "");
}

}  // namespace
}  // namespace qs
