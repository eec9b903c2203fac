#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "store/config_store.h"
#include "store/store_fixture.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

// The idempotency key "k<thread>-<i>", appended piece by piece: GCC 12 at -O3
// reports a -Wrestrict overlap that cannot happen in "k" + std::to_string(..).
std::string IdemKey(int thread, int i) {
    std::string key = "k";
    key += std::to_string(thread);
    key += '-';
    key += std::to_string(i);
    return key;
}

using test::RawDb;
using test::TempDir;

class JobTablesTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store_.Open(path_));
        store_.SetClock([this] { return now_.load(); });
    }

    int64_t Insert(const std::string& idem = "", const std::string& sn = "SN1") {
        JobRecord job;
        job.sn = sn;
        job.path = "C:\\spool\\文件.dat";
        job.source = 0;
        job.idem = idem;
        job.expires_at = 1000 + 86400000;
        return store_.InsertJob(job);
    }

    void SetColumns(int64_t id, const std::string& assignments) {
        RawDb raw(path_);
        ASSERT_EQ(raw.Exec("UPDATE job SET " + assignments + " WHERE id=" + std::to_string(id)), "");
    }

    static std::vector<int64_t> Ids(const std::vector<JobRecord>& jobs) {
        std::vector<int64_t> ids;
        for (const auto& j : jobs) ids.push_back(j.id);
        return ids;
    }

    TempDir dir_;
    std::wstring path_ = dir_ / L"qnconfig.db";
    ConfigStore store_;
    std::atomic<int64_t> now_{1000000};
};

TEST_F(JobTablesTest, NewJobStartsPendingWhateverTheRecordHolds) {
    JobRecord job;
    job.sn = "SN1";
    job.path = "C:\\spool\\文件.dat";
    job.source = 0;
    job.state = kJobCompleted;
    job.retries = 5;
    job.error = "old";
    job.next_retry_at = 77;
    job.lease_until = 88;
    job.idem = "key-1";
    job.expires_at = 123456789;
    const int64_t id = store_.InsertJob(job);
    ASSERT_GT(id, 0);

    auto jobs = store_.ListRecentJobs(10);
    ASSERT_EQ(jobs.size(), 1u);
    const JobRecord& got = jobs[0];
    EXPECT_EQ(got.id, id);
    EXPECT_EQ(got.sn, "SN1");
    EXPECT_EQ(got.path, "C:\\spool\\文件.dat");
    EXPECT_EQ(got.state, kJobPending);
    EXPECT_EQ(got.retries, 0);
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.idem, "key-1");
    EXPECT_EQ(got.next_retry_at, 0);
    EXPECT_EQ(got.expires_at, 123456789);
    EXPECT_EQ(got.lease_until, 0);
    EXPECT_EQ(got.created_at.size(), 19u);
    EXPECT_EQ(got.created_at, got.updated_at);
    EXPECT_TRUE(got.targets.empty());
}

TEST_F(JobTablesTest, ExistingKeyReturnsTheFirstIdAndStoresNothing) {
    const int64_t first = Insert("abc");
    ASSERT_GT(first, 0);
    EXPECT_EQ(Insert("abc", "OTHER"), first);
    const int64_t other = Insert("abd");
    EXPECT_NE(other, first);
    // Empty keys never collide.
    const int64_t e1 = Insert("");
    const int64_t e2 = Insert("");
    EXPECT_GT(e1, 0);
    EXPECT_GT(e2, e1);
    RawDb raw(path_);
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job"), "4");
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job WHERE idem='abc'"), "1");
    EXPECT_EQ(raw.One("SELECT sn FROM job WHERE idem='abc'"), "SN1");
}

TEST_F(JobTablesTest, UniqueIndexRejectsADuplicateKeyButNotEmptyOnes) {
    RawDb raw(path_);
    ASSERT_EQ(raw.Exec("INSERT INTO job (sn, state, idem) VALUES ('a', 0, 'dup')"), "");
    EXPECT_NE(raw.Exec("INSERT INTO job (sn, state, idem) VALUES ('b', 0, 'dup')"), "");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(raw.Exec("INSERT INTO job (sn, state, idem) VALUES ('c', 0, '')"), "");
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job"), "6");
}

TEST_F(JobTablesTest, LeaseBoundaryAndStates) {
    struct Case {
        const char* name;
        int32_t state;
        int64_t leaseUntil;  // relative to now; 0 = not leased
        bool absolute;
        bool claimable;
    };
    const Case cases[] = {
        {"pending, not leased", 0, 0, true, true},
        {"processing, lease ended a millisecond ago", 1, -1, false, true},
        {"processing, lease ends exactly now", 1, 0, false, false},
        {"processing, lease still running", 1, 30000, false, false},
        {"pending with a running lease", 0, 5, false, false},
        {"completed", 2, 0, true, false},
        {"aborted", 3, 0, true, false},
        {"canceled", 4, 0, true, false},
        {"completed with an old lease", 2, -100000, false, false},
        {"unknown state", 7, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t id = Insert();
        const int64_t now = now_.load();
        const int64_t lease = c.absolute ? c.leaseUntil : now + c.leaseUntil;
        SetColumns(id, "state=" + std::to_string(c.state) + ", lease_until=" + std::to_string(lease));
        JobRecord out;
        out.id = -1;
        EXPECT_EQ(store_.TryLeaseJob(id, 60000, out), c.claimable);
        RawDb raw(path_);
        if (c.claimable) {
            EXPECT_EQ(out.id, id);
            EXPECT_EQ(out.state, kJobProcessing);
            EXPECT_EQ(out.lease_until, now + 60000);
            EXPECT_EQ(out.sn, "SN1");
        } else {
            EXPECT_EQ(out.id, -1);
            EXPECT_EQ(raw.One("SELECT state, lease_until FROM job WHERE id=" + std::to_string(id)),
                      std::to_string(c.state) + "|" + std::to_string(lease));
        }
    }
    JobRecord out;
    EXPECT_FALSE(store_.TryLeaseJob(999999, 60000, out));
}

TEST_F(JobTablesTest, LapsedLeaseIsClaimableAgainOnTheClock) {
    const int64_t id = Insert();
    JobRecord out;
    ASSERT_TRUE(store_.TryLeaseJob(id, 60000, out));
    EXPECT_FALSE(store_.TryLeaseJob(id, 60000, out));
    now_ += 60000;  // ends exactly now: still held
    EXPECT_FALSE(store_.TryLeaseJob(id, 60000, out));
    now_ += 1;
    ASSERT_TRUE(store_.TryLeaseJob(id, 60000, out));
    EXPECT_EQ(out.lease_until, now_.load() + 60000);
    ASSERT_TRUE(store_.ClearJobLease(id));
    EXPECT_TRUE(store_.TryLeaseJob(id, 60000, out));
}

// Of many threads claiming the same job at once exactly one may win: two
// winners print the receipt twice. A change count read outside the
// connection's mutex can belong to another thread's statement, so a loser
// sees a win (or the winner a loss); jobs are leased in pairs and extra
// threads write unrelated rows to give the counters every chance to mix.
TEST_F(JobTablesTest, ManyThreadsRacingForOneJobExactlyOneWinsEveryRound) {
    constexpr int kThreads = 8;
    const int rounds = test::Repetitions(200, 40);
    const int64_t noise = Insert("noise");
    for (int round = 0; round < rounds; ++round) {
        const int64_t ids[2] = {Insert(), Insert()};
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::atomic<int> wins[2] = {0, 0};
        std::atomic<int> wrongRow{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ready++;
                while (!go.load()) std::this_thread::yield();
                const int64_t id = ids[t % 2];
                JobRecord out;
                if (store_.TryLeaseJob(id, 60000, out)) {
                    wins[t % 2]++;
                    if (out.id != id) wrongRow++;
                }
                // Completed statements with one changed row each.
                JobRecord n;
                n.id = noise;
                n.state = kJobCompleted;
                store_.UpdateJob(n);
                store_.ClearJobLease(noise);
            });
        }
        while (ready.load() < kThreads) std::this_thread::yield();
        go = true;
        for (auto& th : threads) th.join();
        ASSERT_EQ(wins[0].load(), 1) << "round " << round;
        ASSERT_EQ(wins[1].load(), 1) << "round " << round;
        ASSERT_EQ(wrongRow.load(), 0);
    }
}

// Concurrent inserts each get their own row id back, not a neighbour's.
TEST_F(JobTablesTest, ConcurrentInsertsReturnTheirOwnIds) {
    constexpr int kThreads = 8;
    const int perThread = test::Repetitions(300, 60);
    std::vector<std::vector<int64_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                JobRecord job;
                job.sn = "SN" + std::to_string(t);
                job.idem = IdemKey(t, i);
                got[t].push_back(store_.InsertJob(job));
            }
        });
    }
    for (auto& th : threads) th.join();
    RawDb raw(path_);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < perThread; ++i) {
            ASSERT_EQ(raw.One("SELECT idem FROM job WHERE id=" + std::to_string(got[t][i])),
                      IdemKey(t, i));
        }
    }
}

TEST_F(JobTablesTest, DueJobsAreUnfinishedAndDueInIdOrder) {
    const int64_t now = 5000000;
    const int64_t atOnce = Insert();
    const int64_t future = Insert();
    SetColumns(future, "next_retry_at=" + std::to_string(now + 1));
    const int64_t dueNow = Insert();
    SetColumns(dueNow, "next_retry_at=" + std::to_string(now));
    const int64_t leased = Insert();
    SetColumns(leased, "state=1, lease_until=" + std::to_string(now + 50000));
    const int64_t done = Insert();
    SetColumns(done, "state=2");
    const int64_t aborted = Insert();
    SetColumns(aborted, "state=3");
    const int64_t canceled = Insert();
    SetColumns(canceled, "state=4");

    // Leased jobs are listed; the caller's lease attempt filters them.
    EXPECT_EQ(Ids(store_.ListDueJobs(now, 100)), (std::vector<int64_t>{atOnce, dueNow, leased}));
    EXPECT_EQ(Ids(store_.ListDueJobs(now + 1, 100)),
              (std::vector<int64_t>{atOnce, future, dueNow, leased}));
    EXPECT_EQ(Ids(store_.ListDueJobs(now + 1, 2)), (std::vector<int64_t>{atOnce, future}));
    EXPECT_EQ(Ids(store_.ListDueJobs(0, 100)), (std::vector<int64_t>{atOnce, leased}));
    for (const auto& j : store_.ListDueJobs(now, 100)) EXPECT_TRUE(j.targets.empty());
}

TEST_F(JobTablesTest, RecentJobsAreNewestFirstWithTheirTargets) {
    const int64_t a = Insert();
    const int64_t b = Insert();
    const int64_t c = Insert();
    ASSERT_TRUE(store_.UpsertJobTarget(a, "SN1", kTargetFailed, "超时"));
    ASSERT_TRUE(store_.UpsertJobTarget(a, "SN1", kTargetDelivered, ""));  // replaces
    ASSERT_TRUE(store_.UpsertJobTarget(a, "SN2", kTargetFailed, "离线"));
    ASSERT_TRUE(store_.UpsertJobTarget(c, "SN3", kTargetDelivered, ""));

    auto jobs = store_.ListRecentJobs(2);
    EXPECT_EQ(Ids(jobs), (std::vector<int64_t>{c, b}));
    ASSERT_EQ(jobs[0].targets.size(), 1u);
    EXPECT_EQ(jobs[0].targets[0].sn, "SN3");
    EXPECT_TRUE(jobs[1].targets.empty());

    jobs = store_.ListRecentJobs(50);
    ASSERT_EQ(jobs.size(), 3u);
    auto targets = jobs[2].targets;
    ASSERT_EQ(targets.size(), 2u);
    std::sort(targets.begin(), targets.end(),
              [](const auto& x, const auto& y) { return x.sn < y.sn; });
    EXPECT_EQ(targets[0].sn, "SN1");
    EXPECT_EQ(targets[0].state, kTargetDelivered);
    EXPECT_EQ(targets[0].error, "");
    EXPECT_EQ(targets[1].sn, "SN2");
    EXPECT_EQ(targets[1].state, kTargetFailed);
    EXPECT_EQ(targets[1].error, "离线");
    EXPECT_EQ(store_.ListJobTargets(a).size(), 2u);
    EXPECT_TRUE(store_.ListJobTargets(b).empty());
}

TEST_F(JobTablesTest, UpdateWritesOnlyTheOutcomeColumns) {
    const int64_t id = Insert("idem-1");
    SetColumns(id, "created_at='2020-01-01T00:00:00', updated_at='2020-01-01T00:00:00'");
    JobRecord job;
    job.id = id;
    job.sn = "CHANGED";
    job.path = "D:\\changed";
    job.idem = "changed";
    job.expires_at = 1;
    job.created_at = "changed";
    job.state = kJobPending;
    job.retries = 3;
    job.error = "网络错误";
    job.next_retry_at = 4242;
    job.lease_until = 99;
    ASSERT_TRUE(store_.UpdateJob(job));
    RawDb raw(path_);
    EXPECT_EQ(raw.One("SELECT sn, path, idem, expires_at, created_at, state, retries, error, "
                      "next_retry_at, lease_until FROM job"),
              "SN1|C:\\spool\\文件.dat|idem-1|86401000|2020-01-01T00:00:00|0|3|网络错误|4242|99");
    EXPECT_NE(raw.One("SELECT updated_at FROM job"), "2020-01-01T00:00:00");
}

TEST_F(JobTablesTest, PruneDeletesOldFinishedJobsWithTheirTargets) {
    for (int i = 1; i <= 250; ++i) {
        const int64_t id = Insert();
        ASSERT_EQ(id, i);
        ASSERT_TRUE(store_.UpsertJobTarget(id, "SN1", kTargetDelivered, ""));
    }
    RawDb raw(path_);
    // A mix of the three final states.
    ASSERT_EQ(raw.Exec("UPDATE job SET state = 2 + (id % 3)"), "");
    EXPECT_EQ(store_.PruneJobs(200), 50);
    EXPECT_EQ(raw.One("SELECT COUNT(*), MIN(id), MAX(id) FROM job"), "200|51|250");
    EXPECT_EQ(raw.One("SELECT COUNT(*), MIN(job_id) FROM job_target"), "200|51");
    EXPECT_EQ(store_.PruneJobs(200), 0);
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job"), "200");
}

TEST_F(JobTablesTest, PruneKeepsUnfinishedJobsHoweverOld) {
    for (int i = 1; i <= 250; ++i) ASSERT_EQ(Insert(), i);
    RawDb raw(path_);
    // Jobs 1..50 are old: 1..10 pending, 11..20 processing, the rest finished.
    ASSERT_EQ(raw.Exec("UPDATE job SET state=2 WHERE id>20; UPDATE job SET state=1 WHERE id BETWEEN 11 AND 20"),
              "");
    ASSERT_TRUE(store_.UpsertJobTarget(5, "SN1", kTargetFailed, "离线"));
    ASSERT_TRUE(store_.UpsertJobTarget(30, "SN1", kTargetDelivered, ""));
    EXPECT_EQ(store_.PruneJobs(200), 30);
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job WHERE id<=50"), "20");
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job WHERE id<=50 AND state IN (0,1)"), "20");
    EXPECT_EQ(raw.Rows("SELECT job_id FROM job_target"), (std::vector<std::string>{"5"}));
    // Once they finish they age out like the rest.
    ASSERT_EQ(raw.Exec("UPDATE job SET state=3 WHERE id<=20"), "");
    EXPECT_EQ(store_.PruneJobs(200), 20);
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job_target"), "0");
}

TEST_F(JobTablesTest, PruneKeepsTheNewestJobsAcrossAGapInIds) {
    // Ids 1..10, then 300..302: the newest five reach below the gap, which a
    // cut at "highest id minus keep" alone would delete.
    for (int i = 1; i <= 10; ++i) Insert();
    RawDb raw(path_);
    ASSERT_EQ(raw.Exec("UPDATE sqlite_sequence SET seq=299 WHERE name='job'"), "");
    for (int i = 0; i < 3; ++i) Insert();
    ASSERT_EQ(raw.Exec("UPDATE job SET state=2"), "");
    EXPECT_EQ(store_.PruneJobs(5), 8);
    EXPECT_EQ(raw.Rows("SELECT id FROM job ORDER BY id"),
              (std::vector<std::string>{"9", "10", "300", "301", "302"}));
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

class LeasedWriteTest : public JobTablesTest {
protected:
    static JobRecord Outcome(int64_t id, int32_t state) {
        JobRecord job;
        job.id = id;
        job.state = state;
        return job;
    }

    std::string Row(int64_t id) {
        RawDb raw(path_);
        return raw.One("SELECT state, retries, error, next_retry_at, lease_until, lease_token "
                       "FROM job WHERE id=" + std::to_string(id));
    }
    std::vector<std::string> TargetRows(int64_t id) {
        RawDb raw(path_);
        return raw.Rows("SELECT sn, state, error FROM job_target WHERE job_id=" +
                        std::to_string(id) + " ORDER BY sn");
    }
};

// An attempt's writes land only while the row still carries the lease it
// took: what a cancel, a retry or a later claim wrote is never overwritten,
// and the refused write leaves the row exactly as it found it.
TEST_F(LeasedWriteTest, AttemptWritesLandOnlyUnderTheirOwnLease) {
    struct Case {
        const char* name;
        std::function<void(int64_t id)> meanwhile;
        bool owned;
    };
    const Case cases[] = {
        {"row untouched", [](int64_t) {}, true},
        // Lapsed in time but claimed by no one: still this attempt's.
        {"lease lapsed, not taken", [this](int64_t) { now_ += 120000; }, true},
        {"canceled", [this](int64_t id) { ASSERT_TRUE(store_.CancelJob(id, 200)); }, false},
        {"leased again after a lapse",
         [this](int64_t id) {
             now_ += 60001;
             JobRecord other;
             ASSERT_TRUE(store_.TryLeaseJob(id, 60000, other));
         },
         false},
        {"retried after a lapse",
         [this](int64_t id) {
             now_ += 60001;
             JobRecord other;
             ASSERT_TRUE(store_.ClaimJobForRetry(id, 200, now_.load() + 86400000, 60000, other));
         },
         false},
        {"settled by an older write of its own",
         [this](int64_t id) { ASSERT_TRUE(store_.UpdateJob(Outcome(id, kJobCompleted))); },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t id = Insert();
        JobRecord leased;
        ASSERT_TRUE(store_.TryLeaseJob(id, 60000, leased));
        ASSERT_EQ(leased.lease_token.size(), 32u);
        c.meanwhile(id);
        const std::string before = Row(id);

        EXPECT_EQ(store_.RenewJobLease(id, leased.lease_token, 60000), c.owned);
        EXPECT_EQ(store_.RecordJobTarget(id, leased.lease_token, "SN1", kTargetFailed, "e1"),
                  c.owned);
        JobRecord outcome = leased;
        outcome.state = kJobPending;
        outcome.retries = 1;
        outcome.error = "e1";
        outcome.next_retry_at = 777;
        outcome.lease_until = 0;
        EXPECT_EQ(store_.UpdateLeasedJob(outcome),
                  c.owned ? LeasedWrite::kWritten : LeasedWrite::kLost);
        // A delivery is a fact about the device: recorded whoever holds the job.
        EXPECT_TRUE(store_.RecordJobTarget(id, leased.lease_token, "SN2", kTargetDelivered, ""));

        if (c.owned) {
            EXPECT_EQ(Row(id), "0|1|e1|777|0|");
            EXPECT_EQ(TargetRows(id), (std::vector<std::string>{"SN1|3|e1", "SN2|2|"}));
            // Settled: the lease is gone with it.
            EXPECT_FALSE(store_.RenewJobLease(id, leased.lease_token, 60000));
            EXPECT_EQ(store_.UpdateLeasedJob(outcome), LeasedWrite::kLost);
        } else {
            EXPECT_EQ(Row(id), before);
            EXPECT_EQ(TargetRows(id), (std::vector<std::string>{"SN2|2|"}));
        }
    }
    // Rows from before tokens carry an empty one, which no lease matches.
    const int64_t old = Insert();
    SetColumns(old, "state=1, lease_until=" + std::to_string(now_.load() + 60000));
    EXPECT_FALSE(store_.RenewJobLease(old, "", 60000));
    EXPECT_EQ(store_.UpdateLeasedJob(Outcome(old, kJobCompleted)), LeasedWrite::kLost);
}

TEST_F(LeasedWriteTest, FailureNeverReplacesADelivery) {
    const int64_t id = Insert();
    JobRecord leased;
    ASSERT_TRUE(store_.TryLeaseJob(id, 60000, leased));
    ASSERT_TRUE(store_.RecordJobTarget(id, leased.lease_token, "SN1", kTargetDelivered, ""));
    EXPECT_FALSE(store_.RecordJobTarget(id, leased.lease_token, "SN1", kTargetFailed, "late"));
    EXPECT_TRUE(store_.RecordJobTarget(id, leased.lease_token, "SN2", kTargetFailed, "first"));
    EXPECT_TRUE(store_.RecordJobTarget(id, leased.lease_token, "SN2", kTargetFailed, "second"));
    EXPECT_EQ(TargetRows(id), (std::vector<std::string>{"SN1|2|", "SN2|3|second"}));
}

// Check and reset are one statement: a running lease is never wiped.
TEST_F(LeasedWriteTest, RetryClaimsOnlyANewJobThatNoLeaseHolds) {
    const int64_t oldest = Insert();
    for (int i = 0; i < 3; ++i) Insert();
    const int64_t id = Insert();
    SetColumns(id, "state=3, retries=8, error='gave up', next_retry_at=0, expires_at=5");
    JobRecord out;
    EXPECT_FALSE(store_.ClaimJobForRetry(oldest, 4, 999, 60000, out)) << "not among the newest";
    EXPECT_EQ(Row(oldest), "0|0||0|0|");

    ASSERT_TRUE(store_.ClaimJobForRetry(id, 4, 123456789, 60000, out));
    EXPECT_EQ(out.id, id);
    EXPECT_EQ(out.state, kJobProcessing);
    EXPECT_EQ(out.retries, 0);
    EXPECT_EQ(out.error, "gave up");
    EXPECT_EQ(out.expires_at, 123456789);
    EXPECT_EQ(out.lease_until, now_.load() + 60000);
    EXPECT_EQ(out.lease_token.size(), 32u);
    const std::string held = Row(id);

    // A second retry (or one racing any claim) while the lease runs changes nothing.
    JobRecord again;
    EXPECT_FALSE(store_.ClaimJobForRetry(id, 4, 1, 60000, again));
    EXPECT_EQ(Row(id), held);
    now_ += 60000;
    EXPECT_FALSE(store_.ClaimJobForRetry(id, 4, 1, 60000, again)) << "ends exactly now: held";
    now_ += 1;
    ASSERT_TRUE(store_.ClaimJobForRetry(id, 4, 1, 60000, again));
    EXPECT_NE(again.lease_token, out.lease_token);
}

TEST_F(LeasedWriteTest, CancelEndsTheLeaseAndReachesOnlyTheNewest) {
    const int64_t oldest = Insert();
    const int64_t id = Insert();
    JobRecord leased;
    ASSERT_TRUE(store_.TryLeaseJob(id, 60000, leased));
    EXPECT_FALSE(store_.CancelJob(oldest, 1));
    EXPECT_EQ(Row(oldest), "0|0||0|0|");
    ASSERT_TRUE(store_.CancelJob(id, 1));
    EXPECT_EQ(Row(id), "4|0||0|0|");
    JobRecord again;
    EXPECT_FALSE(store_.TryLeaseJob(id, 60000, again)) << "canceled is final for the worker";
    EXPECT_FALSE(store_.CancelJob(999999, 200));
}

}  // namespace
}  // namespace qs
