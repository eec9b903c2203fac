#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "foundation/files.h"
#include "foundation/text.h"
#include "jobs/job_engine.h"
#include "store/store_fixture.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::LogWatch;
using test::RawDb;
using test::TempDir;

JobEngineDeps Deps(ConfigStore* store, std::function<int64_t()> nowMs) {
    JobEngineDeps deps;
    deps.store = store;
    deps.nowMs = std::move(nowMs);
    return deps;
}

class IntakeTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.Open(dir_ / L"qnconfig.db")); }

    std::wstring File(const std::wstring& name, const std::string& bytes) {
        std::wstring path = dir_ / name;
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }

    JobRecord Job(int64_t id) {
        for (const auto& j : store_.ListRecentJobs(1000))
            if (j.id == id) return j;
        ADD_FAILURE() << "no job " << id;
        return {};
    }

    void SetMsg(bool on) {
        SettingsRecord s;
        s.msg = on;
        store_.SaveSettings(s);
    }

    TempDir dir_;
    ConfigStore store_;
    std::atomic<int64_t> now_{1700000000000};
    JobEngine engine_{Deps(&store_, [this] { return now_.load(); })};
};

TEST_F(IntakeTest, NewJobIsPendingWithTheCallerKeyAndADayToLive) {
    const std::wstring path = File(L"任务.dat", "\x1b@hello");
    const std::string key = "0123456789abcdef0123456789abcdef";
    const int64_t id = engine_.EnqueueJob("SN1", path, 0, key);
    ASSERT_GT(id, 0);
    JobRecord job = Job(id);
    EXPECT_EQ(job.sn, "SN1");
    EXPECT_EQ(job.path, WideToUtf8(path));
    EXPECT_EQ(job.source, 0);
    EXPECT_EQ(job.idem, key);
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 0);
    EXPECT_EQ(job.error, "");
    EXPECT_EQ(job.next_retry_at, 0);
    EXPECT_EQ(job.lease_until, 0);
    EXPECT_EQ(job.expires_at, now_.load() + 86400000);
}

TEST_F(IntakeTest, SameCallerKeyReturnsTheFirstJob) {
    const std::wstring a = File(L"a.dat", "first");
    const std::wstring b = File(L"b.dat", "second");
    const int64_t first = engine_.EnqueueJob("SN1", a, 0, "key-1");
    ASSERT_GT(first, 0);
    EXPECT_EQ(engine_.EnqueueJob("SN2", b, 0, "key-1"), first);
    EXPECT_EQ(store_.ListRecentJobs(10).size(), 1u);
    // A fresh key per arrival makes the same bytes a second job.
    EXPECT_NE(engine_.EnqueueJob("SN1", a, 0, "key-2"), first);
}

TEST_F(IntakeTest, ContentKeyIsTheDigestOfSizeDeviceSourceAndBytes) {
    const std::wstring path = File(L"abc.dat", "abc");
    // MD5 of "3|SN1|0|abc", "3|SN1|7|abc" and "-1|SN1|0|", worked out independently.
    EXPECT_EQ(JobEngine::MakeContentKey(path, "SN1", 0), "5401D503D664894F605B9B5C31622ED5");
    EXPECT_EQ(JobEngine::MakeContentKey(path, "SN1", 7), "C61C1440709953F8DF0980D92FC9E775");
    EXPECT_EQ(JobEngine::MakeContentKey(dir_ / L"missing.dat", "SN1", 0),
              "5F1F9F230DA0DF346EF91420C80A6C75");
    EXPECT_NE(JobEngine::MakeContentKey(path, "SN2", 0), JobEngine::MakeContentKey(path, "SN1", 0));
    EXPECT_NE(JobEngine::MakeContentKey(File(L"abd.dat", "abd"), "SN1", 0),
              JobEngine::MakeContentKey(path, "SN1", 0));
}

TEST_F(IntakeTest, WithoutAKeyTheSameFileForTheSameDeviceIsOneJob) {
    const std::wstring path = File(L"page.dat", "test page");
    const int64_t first = engine_.EnqueueJob("SN1", path, 0, "");
    ASSERT_GT(first, 0);
    EXPECT_EQ(engine_.EnqueueJob("SN1", path, 0, ""), first);
    EXPECT_EQ(Job(first).idem, JobEngine::MakeContentKey(path, "SN1", 0));
    EXPECT_EQ(Job(first).idem.size(), 32u);
    const int64_t other = engine_.EnqueueJob("SN2", path, 0, "");
    EXPECT_GT(other, first);
    EXPECT_EQ(store_.ListRecentJobs(10).size(), 2u);
}

TEST_F(IntakeTest, ContentIsReadUpToEightMiBAndNotBeyond) {
    const size_t limit = 8388608;
    // At the limit the content still counts: equal sizes, different keys.
    std::string bytes(limit, 'a');
    const std::wstring a = File(L"a.dat", bytes);
    bytes[limit / 2] = 'b';
    const std::wstring b = File(L"b.dat", bytes);
    EXPECT_NE(JobEngine::MakeContentKey(a, "SN1", 0), JobEngine::MakeContentKey(b, "SN1", 0));

    // One byte more and only size, device and source count.
    bytes.assign(limit + 1, 'x');
    const std::wstring c = File(L"c.dat", bytes);
    bytes.assign(limit + 1, 'y');
    const std::wstring d = File(L"d.dat", bytes);
    EXPECT_EQ(JobEngine::MakeContentKey(c, "SN1", 0),
              Md5Hex(std::to_string(limit + 1) + "|SN1|0|"));
    const int64_t first = engine_.EnqueueJob("SN1", c, 0, "");
    ASSERT_GT(first, 0);
    EXPECT_EQ(engine_.EnqueueJob("SN1", d, 0, ""), first);
}

TEST_F(IntakeTest, TipMovesOnlyWhileNoticesAreOn) {
    const std::wstring path = File(L"a.dat", "a");
    JobTip tip = engine_.ReadJobTip();
    EXPECT_EQ(tip.id, 0);
    EXPECT_EQ(tip.time, "");

    SetMsg(false);
    ASSERT_GT(engine_.EnqueueJob("SN1", path, 0, "k1"), 0);
    EXPECT_EQ(engine_.ReadJobTip().id, 0);
    EXPECT_EQ(engine_.ReadJobTip().time, "");

    SetMsg(true);
    const int64_t id = engine_.EnqueueJob("SN1", path, 0, "k2");
    ASSERT_GT(id, 0);
    tip = engine_.ReadJobTip();
    EXPECT_EQ(tip.id, id);
    EXPECT_TRUE(std::regex_match(tip.time, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
        << tip.time;

    // A repeated key names the existing job in the tip as well.
    const int64_t other = engine_.EnqueueJob("SN1", path, 0, "k3");
    EXPECT_EQ(engine_.ReadJobTip().id, other);
    EXPECT_EQ(engine_.EnqueueJob("SN1", path, 0, "k2"), id);
    EXPECT_EQ(engine_.ReadJobTip().id, id);

    SetMsg(false);
    ASSERT_GT(engine_.EnqueueJob("SN1", path, 0, "k4"), 0);
    EXPECT_EQ(engine_.ReadJobTip().id, id);
}

TEST_F(IntakeTest, LogLineShowsOnlyTheFirstTwelveDigitsOfTheKey) {
    const std::wstring path = File(L"a.dat", "a");
    struct Case {
        const char* key;
        const char* shown;
    };
    const Case cases[] = {
        {"0123456789abcdef0123456789abcdef", "0123456789ab"},
        {"short", "short"},
        {"exactly12chr", "exactly12chr"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        LogWatch log;
        const int64_t id = engine_.EnqueueJob("SN-日本", path, 0, c.key);
        ASSERT_GT(id, 0);
        auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u);
        const std::string expected =
            "[INF] 作业入队 id=" + std::to_string(id) + " sn=SN-日本 idem=" + c.shown + "\n";
        ASSERT_GE(lines[0].size(), expected.size());
        EXPECT_EQ(lines[0].substr(lines[0].size() - expected.size()), expected);
    }
}

TEST_F(IntakeTest, FailedStoreIsLoggedAndReturnsZero) {
    const std::wstring path = File(L"a.dat", "a");
    RawDb raw(dir_ / L"qnconfig.db");
    ASSERT_EQ(raw.Exec("CREATE TRIGGER refuse BEFORE INSERT ON job BEGIN "
                       "SELECT RAISE(ABORT, 'refused'); END"),
              "");
    SetMsg(true);
    LogWatch log;
    EXPECT_EQ(engine_.EnqueueJob("SN1", path, 0, "k"), 0);
    EXPECT_EQ(log.Count("ERR", "作业入队失败 sn=SN1"), 1);
    EXPECT_EQ(log.Count("INF", "作业入队 id="), 0);
    EXPECT_EQ(engine_.ReadJobTip().id, 0);
}

TEST(IntakeClosedStoreTest, NothingStoredWhenTheStoreIsNotOpen) {
    ConfigStore closed;
    JobEngine engine(Deps(&closed, nullptr));
    LogWatch log;
    EXPECT_EQ(engine.EnqueueJob("SN9", L"C:\\nowhere.dat", 0, ""), 0);
    EXPECT_EQ(log.Count("ERR", "作业入队失败 sn=SN9"), 1);
}

}  // namespace
}  // namespace qs
