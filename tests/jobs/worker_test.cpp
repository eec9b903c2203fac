// Attempts, back-off, expiry, multi-print fan-out, retry and cancel, on the
// settable clock: nothing here waits for real time to pass.
#include <chrono>
#include <thread>

#include "jobs/engine_fixture.h"

namespace qs::test {
namespace {

constexpr char kUploadAlwaysFails[] = R"([{"path":"/v1/files","status":500,"times":0}])";
constexpr char kUploadError[] = "文件上传失败 HTTP 500";

class WorkerTest : public EngineTest {
protected:
    std::vector<JobTargetRecord> Targets(int64_t id) { return store_.ListJobTargets(id); }

    // Waits up to timeoutMs of real time for the condition.
    static bool Eventually(const std::function<bool()>& condition, int32_t timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // The same database as another claimant sees it (a second process).
    std::unique_ptr<ConfigStore> OtherConnection() {
        auto other = std::make_unique<ConfigStore>();
        EXPECT_TRUE(other->Open(dir_ / L"qnconfig.db"));
        other->SetClock([this] { return now_.load(); });
        return other;
    }

    int32_t TargetState(int64_t id, const std::string& sn) {
        for (const JobTargetRecord& row : Targets(id)) {
            if (row.sn == sn) return row.state;
        }
        return -1;
    }
};

TEST_F(WorkerTest, JobForADeviceOnTheLanIsCompletedByTheFirstAttempt) {
    OnLan("LAN1");
    const int64_t id = AddJob("LAN1", ReceiptBytes(4096));
    EXPECT_TRUE(engine_->ProcessJob(id, false, Devices({"LAN2", "LAN1"})));

    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobCompleted);
    EXPECT_EQ(job.retries, 0);
    EXPECT_EQ(job.error, "");
    EXPECT_EQ(job.next_retry_at, 0);
    EXPECT_EQ(job.lease_until, 0);
    ASSERT_EQ(Targets(id).size(), 1u);
    EXPECT_EQ(TargetState(id, "LAN1"), kTargetDelivered);
    EXPECT_EQ(Received("LAN1", 1, 5000).size(), 1u);
    EXPECT_EQ(Connections("LAN2"), 0) << "without multi-print only the job's own device";
}

TEST_F(WorkerTest, FailingJobBacksOffEightTimesThenIsAborted) {
    cloudPeer_.Rules(kUploadAlwaysFails);
    const int64_t id = AddJob("CLOUD1", "receipt");
    const auto devices = Devices({"CLOUD1"});
    const int64_t backoffSeconds[] = {5, 10, 20, 40, 80, 160, 300};

    for (int attempt = 1; attempt <= 7; ++attempt) {
        engine_->RunDuePass(now_.load(), false, devices);
        const JobRecord job = Job(id);
        ASSERT_EQ(job.retries, attempt);
        EXPECT_EQ(job.state, kJobPending);
        EXPECT_EQ(job.error, kUploadError);
        EXPECT_EQ(job.lease_until, 0);
        const int64_t wait = backoffSeconds[attempt - 1];
        EXPECT_EQ(job.next_retry_at - now_.load(), wait * 1000) << "after attempt " << attempt;
        EXPECT_EQ(log_.Count("WRN", "作业将重试 id=" + std::to_string(id) + " 第 " +
                                        std::to_string(attempt) + " 次，退避 " +
                                        std::to_string(wait) + "s"),
                  1);

        // Not due a millisecond early; due at the instant itself.
        now_ = job.next_retry_at - 1;
        engine_->RunDuePass(now_.load(), false, devices);
        ASSERT_EQ(Job(id).retries, attempt) << "attempted before its back-off ended";
        now_ = job.next_retry_at;
    }

    engine_->RunDuePass(now_.load(), false, devices);
    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobAborted);
    EXPECT_EQ(job.retries, 8);
    EXPECT_EQ(job.error, kUploadError);
    EXPECT_EQ(job.next_retry_at, 0);
    EXPECT_EQ(log_.Count("ERR", "作业最终失败 id=" + std::to_string(id) + " 重试 8 次"), 1);
    EXPECT_EQ(CloudRequests("/v1/files"), 8u);

    // Aborted is final for the worker.
    now_ += 3600000;
    engine_->RunDuePass(now_.load(), false, devices);
    EXPECT_EQ(CloudRequests("/v1/files"), 8u);
    EXPECT_FALSE(engine_->ProcessJob(id, false, devices));
    EXPECT_EQ(Job(id).state, kJobAborted);
}

TEST_F(WorkerTest, MultiPrintServesOnlyTheDeviceThatFailedOnTheNextAttempt) {
    OnLan("LAN1");
    OnLan("LAN3");
    // LAN2 is not on the LAN yet and the cloud refuses it.
    cloudPeer_.Rules(R"([{"path":"/v1/files","status":503,"times":1}])");
    const auto devices = Devices({"LAN1", "LAN2", "LAN3"});
    const std::string bytes = ReceiptBytes(5000);
    const int64_t id = AddJob("LAN1", bytes);

    EXPECT_FALSE(engine_->ProcessJob(id, true, devices));
    JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 1);
    EXPECT_EQ(job.error, "文件上传失败 HTTP 503");
    EXPECT_EQ(TargetState(id, "LAN1"), kTargetDelivered);
    EXPECT_EQ(TargetState(id, "LAN2"), kTargetFailed);
    EXPECT_EQ(TargetState(id, "LAN3"), kTargetDelivered);

    OnLan("LAN2");
    now_ = job.next_retry_at;
    engine_->RunDuePass(now_.load(), true, devices);
    job = Job(id);
    EXPECT_EQ(job.state, kJobCompleted);
    EXPECT_EQ(job.error, "");
    EXPECT_EQ(job.retries, 1);
    EXPECT_EQ(TargetState(id, "LAN2"), kTargetDelivered);

    // Each device printed exactly once.
    for (const char* sn : {"LAN1", "LAN2", "LAN3"}) {
        std::vector<SimJob> got = Received(sn, 1, 5000);
        ASSERT_EQ(got.size(), 1u) << sn;
        std::string received;
        ASSERT_TRUE(sim_.JobBytes(got[0], &received));
        EXPECT_TRUE(received == bytes) << sn;
    }
}

TEST_F(WorkerTest, RetryOfAPartlyDeliveredJobServesOnlyTheRest) {
    OnLan("LAN1");
    cloudPeer_.Rules(R"([{"path":"/v1/files","status":500,"times":1}])");
    const auto devices = Devices({"LAN1", "CLOUD1"});
    const int64_t id = AddJob("LAN1", "receipt");
    EXPECT_FALSE(engine_->ProcessJob(id, true, devices));
    EXPECT_TRUE(engine_->RetryJob(id, true, devices));
    EXPECT_EQ(Job(id).state, kJobCompleted);
    EXPECT_EQ(Connections("LAN1"), 1);
    EXPECT_EQ(CloudRequests("/v1/files"), 2u);

    // A completed job retried completes again without printing.
    EXPECT_TRUE(engine_->RetryJob(id, true, devices));
    EXPECT_EQ(Connections("LAN1"), 1);
    EXPECT_EQ(CloudRequests("/v1/files"), 2u);
}

TEST_F(WorkerTest, ExpiryAtClaimTimeAndAtDuePassTimeHaveTheirOwnTexts) {
    OnLan("LAN1");
    const auto devices = Devices({"LAN1"});
    const int64_t claimed = AddJob("LAN1", "receipt");
    now_ += JobEngine::kJobRetentionMs + 1;
    EXPECT_FALSE(engine_->ProcessJob(claimed, false, devices));
    JobRecord job = Job(claimed);
    EXPECT_EQ(job.state, kJobAborted);
    EXPECT_EQ(job.error, "作业已过期（超过保留时限）");
    EXPECT_EQ(job.lease_until, 0);
    EXPECT_EQ(job.retries, 0);

    const int64_t passed = AddJob("LAN1", "receipt 2");
    now_ += JobEngine::kJobRetentionMs + 1;
    engine_->RunDuePass(now_.load(), false, devices);
    job = Job(passed);
    EXPECT_EQ(job.state, kJobAborted);
    EXPECT_EQ(job.error, "作业已过期");
    EXPECT_EQ(Connections("LAN1"), 0) << "an expired job is never delivered";

    // At the instant of expiry the job is still delivered.
    const int64_t edge = AddJob("LAN1", "receipt 3");
    now_ += JobEngine::kJobRetentionMs;
    EXPECT_TRUE(engine_->ProcessJob(edge, false, devices));
}

TEST_F(WorkerTest, JobsThatCannotBeDeliveredAreAbortedWithTheirReason) {
    OnLan("LAN1");
    const std::wstring gone = WriteSpool("receipt");
    const int64_t missing = AddJobAt("LAN1", gone, now_.load() + JobEngine::kJobRetentionMs);
    ASSERT_TRUE(RemovePath(gone));
    EXPECT_FALSE(engine_->ProcessJob(missing, false, Devices({"LAN1"})));
    EXPECT_EQ(Job(missing).state, kJobAborted);
    EXPECT_EQ(Job(missing).error, "源文件已丢失");

    // The device was removed since the data arrived.
    const int64_t orphan = AddJob("GONE1", "receipt");
    EXPECT_FALSE(engine_->ProcessJob(orphan, false, Devices({"LAN1"})));
    EXPECT_EQ(Job(orphan).state, kJobAborted);
    EXPECT_EQ(Job(orphan).error, "没有匹配的设备");
    EXPECT_EQ(log_.Count("WRN", "作业没有匹配的设备 id=" + std::to_string(orphan) + " sn=GONE1"), 1);

    // Multi-print with no devices at all.
    const int64_t none = AddJob("LAN1", "receipt");
    EXPECT_FALSE(engine_->ProcessJob(none, true, {}));
    EXPECT_EQ(Job(none).error, "没有匹配的设备");

    EXPECT_EQ(Connections("LAN1"), 0);
    EXPECT_EQ(cloudPeer_.Requests().size(), 0u);
    for (int64_t id : {missing, orphan, none}) EXPECT_TRUE(Targets(id).empty());
}

TEST_F(WorkerTest, RetryAndCancelReachOnlyThe200NewestJobs) {
    OnLan("LAN1");
    const auto devices = Devices({"LAN1"});
    const int64_t oldest = AddJob("LAN1", "receipt");
    const int64_t second = AddJob("LAN1", "receipt");
    for (int i = 0; i < 199; ++i) AddJob("LAN1", "receipt");
    // oldest is now number 201 from the top, second is number 200.

    EXPECT_FALSE(engine_->CancelJob(oldest));
    EXPECT_FALSE(engine_->RetryJob(oldest, false, devices));
    JobRecord job = Job(oldest);
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 0);
    EXPECT_EQ(job.lease_until, 0);

    EXPECT_TRUE(engine_->CancelJob(second));
    job = Job(second);
    EXPECT_EQ(job.state, kJobCanceled);
    EXPECT_EQ(job.next_retry_at, 0);

    // A canceled job is not claimed by the worker.
    EXPECT_FALSE(engine_->ProcessJob(second, false, devices));
    EXPECT_EQ(Job(second).state, kJobCanceled);
    EXPECT_EQ(Connections("LAN1"), 0);
    EXPECT_EQ(Received("LAN1", 1, 200).size(), 0u);
}

TEST_F(WorkerTest, RetryRenewsTheRetentionOfAnExpiredJob) {
    OnLan("LAN1");
    const auto devices = Devices({"LAN1"});
    const int64_t id = AddJob("LAN1", "receipt");
    now_ += JobEngine::kJobRetentionMs + 5000;
    EXPECT_FALSE(engine_->ProcessJob(id, false, devices));
    ASSERT_EQ(Job(id).error, "作业已过期（超过保留时限）");

    OnLan("LAN1");  // a day later the device has answered discovery again
    EXPECT_TRUE(engine_->RetryJob(id, false, devices));
    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobCompleted);
    EXPECT_EQ(job.retries, 0);
    EXPECT_EQ(job.expires_at, now_.load() + JobEngine::kJobRetentionMs);
    EXPECT_EQ(cloudPeer_.Requests().size(), 0u);
    EXPECT_EQ(Received("LAN1", 1, 5000).size(), 1u);
}

TEST_F(WorkerTest, RetryResetsAnAbortedJobsCount) {
    cloudPeer_.Rules(R"([{"path":"/v1/files","status":500,"times":8}])");
    const auto devices = Devices({"CLOUD1"});
    const int64_t id = AddJob("CLOUD1", "receipt");
    for (int i = 0; i < 8; ++i) {
        engine_->ProcessJob(id, false, devices);
        now_ = std::max(now_.load(), Job(id).next_retry_at);
    }
    ASSERT_EQ(Job(id).state, kJobAborted);
    ASSERT_EQ(Job(id).retries, 8);
    EXPECT_TRUE(engine_->RetryJob(id, false, devices));
    EXPECT_EQ(Job(id).state, kJobCompleted);
    EXPECT_EQ(Job(id).retries, 0);
}

TEST_F(WorkerTest, SecondAttemptWhileTheLeaseIsHeldChangesNothing) {
    OnLan("LAN1");
    const int64_t id = AddJob("LAN1", "receipt");
    // Another thread's attempt holds the job.
    JobRecord held;
    ASSERT_TRUE(store_.TryLeaseJob(id, JobEngine::kLeaseMs, held));

    EXPECT_FALSE(engine_->ProcessJob(id, false, Devices({"LAN1"})));
    EXPECT_EQ(log_.Count("DBG", "跳过作业 " + std::to_string(id) + "（已被占用或已终态）"), 1);
    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobProcessing);
    EXPECT_EQ(job.lease_until, held.lease_until);
    EXPECT_EQ(job.retries, 0);
    EXPECT_TRUE(Targets(id).empty());
    EXPECT_EQ(Connections("LAN1"), 0);

    // The due pass skips it the same way until the lease has lapsed.
    engine_->RunDuePass(now_.load(), false, Devices({"LAN1"}));
    EXPECT_EQ(Job(id).state, kJobProcessing);
    now_ = held.lease_until + 1;
    engine_->RunDuePass(now_.load(), false, Devices({"LAN1"}));
    EXPECT_EQ(Job(id).state, kJobCompleted);
}

TEST_F(WorkerTest, AttemptOutlivingItsLeaseIsNotStartedAgain) {
    // The cloud keeps the job queued, so the attempt sits in its status poll;
    // meanwhile the clock passes the lease and the worker's pass comes round.
    cloudPeer_.Config(R"({"job_statuses":["queued"]})");
    const auto devices = Devices({"CLOUD1"});
    const int64_t id = AddJob("CLOUD1", "receipt");
    bool overlapped = false;
    onCloudSleep_ = [&] {
        if (overlapped) return;
        overlapped = true;
        now_ += JobEngine::kLeaseMs + 1000;
        engine_->RunDuePass(now_.load(), false, devices);
        EXPECT_FALSE(engine_->RetryJob(id, false, devices));
    };

    engine_->ProcessJob(id, false, devices);
    ASSERT_TRUE(overlapped);
    EXPECT_EQ(CloudRequests("/v1/files"), 1u);
    EXPECT_EQ(CloudRequests("/v1/print-jobs"), 1u);
    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 1);
    EXPECT_EQ(job.lease_until, 0);

    // Once the attempt has ended, a retry is accepted again.
    onCloudSleep_ = nullptr;
    cloudPeer_.Config(R"({"job_statuses":["done"]})");
    EXPECT_TRUE(engine_->RetryJob(id, false, devices));
}

TEST_F(WorkerTest, DuePassAbortsJobsOutOfAttemptsAndTakesTheOldestFifty) {
    OnLan("LAN1");
    const auto devices = Devices({"LAN1"});
    std::vector<int64_t> ids;
    for (int i = 0; i < 52; ++i) ids.push_back(AddJob("LAN1", "r" + std::to_string(i)));
    // One that ran out of attempts without being settled (its attempt died).
    JobRecord spent = Job(ids[1]);
    spent.retries = 8;
    spent.error = "last device error";
    ASSERT_TRUE(store_.UpdateJob(spent));

    engine_->RunDuePass(now_.load(), false, devices);
    EXPECT_EQ(Job(ids[1]).state, kJobAborted);
    EXPECT_EQ(Job(ids[1]).error, "last device error");
    for (size_t i = 0; i < 50; ++i) {
        if (i != 1) {
            EXPECT_EQ(Job(ids[i]).state, kJobCompleted) << i;
        }
    }
    EXPECT_EQ(Job(ids[50]).state, kJobPending);
    EXPECT_EQ(Job(ids[51]).state, kJobPending);
    EXPECT_EQ(Connections("LAN1"), 49);
}

TEST_F(WorkerTest, StopEndsThePassBetweenJobs) {
    // The first job waits on the cloud; the service stop arrives meanwhile.
    cloudPeer_.Config(R"({"job_statuses":["queued"]})");
    onCloudSleep_ = [this] { stop_ = true; };
    const auto devices = Devices({"CLOUD1"});
    const int64_t first = AddJob("CLOUD1", "receipt 1");
    const int64_t second = AddJob("CLOUD1", "receipt 2");
    const int64_t third = AddJob("CLOUD1", "receipt 3");

    engine_->RunDuePass(now_.load(), false, devices);
    // The poll gave up at the stop instead of polling for 20 s.
    EXPECT_LT(sleptMs_.load(), 20000);
    EXPECT_EQ(CloudRequests("/v1/files"), 1u);
    EXPECT_EQ(Job(first).state, kJobPending);
    for (int64_t id : {second, third}) {
        const JobRecord job = Job(id);
        EXPECT_EQ(job.state, kJobPending);
        EXPECT_EQ(job.retries, 0);
        EXPECT_EQ(job.lease_until, 0);
    }
}

TEST_F(WorkerTest, StopBetweenDevicesLeavesTheAttemptUncounted) {
    cloudPeer_.Config(R"({"job_statuses":["queued"]})");
    onCloudSleep_ = [this] { stop_ = true; };
    OnLan("LAN1");
    const auto devices = Devices({"CLOUD1", "LAN1"});
    const int64_t id = AddJob("CLOUD1", "receipt");

    EXPECT_FALSE(engine_->ProcessJob(id, true, devices));
    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 0);
    EXPECT_EQ(job.lease_until, 0);
    EXPECT_EQ(job.next_retry_at, 0);
    EXPECT_EQ(Connections("LAN1"), 0) << "no device is started after the stop";

    // The next start picks it up where it stopped.
    stop_ = false;
    onCloudSleep_ = nullptr;
    cloudPeer_.Config(R"({"job_statuses":["done"]})");
    engine_->RunDuePass(now_.load(), true, devices);
    EXPECT_EQ(Job(id).state, kJobCompleted);
    EXPECT_EQ(Connections("LAN1"), 1);
}

// The attempt of one job sits in a slow send on its own thread while the
// worker's pass spends longer than the lease on an older job: when the pass
// reaches the running job it must leave it alone, not send it again.
TEST_F(WorkerTest, PassThatOutlivesTheLeaseNeverRestartsARunningAttempt) {
    options_.send_stall_ms = 4000;
    MakeEngine();
    OnLan("STALL1");
    cloudPeer_.Config(R"({"job_statuses":["done"]})");
    const auto devices = Devices({"CLOUD1", "STALL1"});
    const int64_t older = AddJob("CLOUD1", "older receipt");
    const int64_t running = AddJob("STALL1", "receipt");

    std::thread attempt([&] { engine_->ProcessJob(running, false, devices); });
    ASSERT_TRUE(Eventually([&] { return Connections("STALL1") >= 1; }));
    std::atomic<bool> slowed{false};
    onCloudSleep_ = [&] {
        if (!slowed.exchange(true)) now_ += JobEngine::kLeaseMs + 1000;
    };
    engine_->RunDuePass(now_.load(), false, devices);
    attempt.join();

    EXPECT_TRUE(slowed.load());
    EXPECT_EQ(Connections("STALL1"), 1) << "the running attempt was started a second time";
    EXPECT_EQ(log_.Count("DBG", "跳过作业 " + std::to_string(running) + "（已被占用或已终态）"), 1);
    // Each job went to the cloud once: the older by the pass, the running
    // one after its stalled direct send.
    EXPECT_EQ(CloudRequests("/v1/print-jobs"), 2u);
    // The older job's attempt ran past its 20 s of polling on that clock.
    EXPECT_EQ(Job(older).retries, 1);
}

// A step longer than the lease (a large upload, a slow device) must not
// let another claimant of the database take the job meanwhile.
TEST_F(WorkerTest, RunningAttemptKeepsItsLeaseWhileAStepOutlastsIt) {
    leaseRenewMs_ = 50;
    MakeEngine();
    const auto other = OtherConnection();
    cloudPeer_.Config(R"({"job_statuses":["queued"]})");
    const int64_t id = AddJob("CLOUD1", "receipt");
    std::atomic<bool> hooked{false};
    bool renewed = false;
    bool claimedElsewhere = true;
    onCloudSleep_ = [&] {
        if (hooked.exchange(true)) return;
        now_ += JobEngine::kLeaseMs + 1000;  // the step took longer than the lease
        renewed = Eventually([&] { return Job(id).lease_until > now_.load(); }, 3000);
        JobRecord theirs;
        claimedElsewhere = other->TryLeaseJob(id, JobEngine::kLeaseMs, theirs);
    };

    engine_->ProcessJob(id, false, Devices({"CLOUD1"}));
    ASSERT_TRUE(hooked.load());
    EXPECT_TRUE(renewed) << "the lease was not renewed while the attempt ran";
    EXPECT_FALSE(claimedElsewhere) << "another claimant took a job whose attempt was running";
    // The attempt settled it itself.
    const JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 1);
    EXPECT_EQ(job.lease_until, 0);
    EXPECT_EQ(CloudRequests("/v1/print-jobs"), 1u);
}

// Once the job was claimed elsewhere after a lapse, the old attempt writes
// nothing: not its outcome, not its device failure, and it serves no
// further device.
TEST_F(WorkerTest, AttemptWhoseJobWasTakenElsewhereWritesNothing) {
    OnLan("LAN1");
    const auto other = OtherConnection();
    cloudPeer_.Config(R"({"job_statuses":["queued"]})");
    struct Case {
        bool multi;
        const char* line;
    } cases[] = {
        {false, "作业已被取消或被接管，本次结果未写入 id="},
        {true, "作业已被取消或被接管，停止本次投递 id="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const int64_t id = AddJob("CLOUD1", "receipt");
        JobRecord theirs;
        bool taken = false;
        bool hooked = false;
        onCloudSleep_ = [&] {
            if (hooked) return;
            hooked = true;
            now_ += JobEngine::kLeaseMs + 1000;
            taken = other->TryLeaseJob(id, JobEngine::kLeaseMs, theirs);
        };
        EXPECT_FALSE(engine_->ProcessJob(id, c.multi, Devices({"CLOUD1", "LAN1"})));
        onCloudSleep_ = nullptr;
        ASSERT_TRUE(taken);
        const JobRecord job = Job(id);
        EXPECT_EQ(job.state, kJobProcessing);
        EXPECT_EQ(job.retries, 0);
        EXPECT_EQ(job.lease_until, theirs.lease_until);
        EXPECT_TRUE(Targets(id).empty());
        EXPECT_EQ(log_.Count("WRN", c.line + std::to_string(id)), 1);
    }
    EXPECT_EQ(Connections("LAN1"), 0);
}

// Canceled while its upload is under way: the attempt stops before the next
// device, the cancel stays, and the delivery the cloud confirmed stays
// recorded, so a later retry serves only the rest.
TEST_F(WorkerTest, CancelDuringASlowUploadSticks) {
    OnLan("LAN1");
    cloudPeer_.Rules(R"([{"path":"/v1/files","delay_ms":1500}])");
    cloudPeer_.Config(R"({"job_statuses":["done"]})");
    const auto devices = Devices({"CLOUD1", "LAN1"});
    const int64_t id = AddJob("CLOUD1", "receipt");
    bool canceled = false;
    std::thread user([&] {
        if (Eventually([&] { return CloudRequests("/v1/files") >= 1; })) {
            canceled = engine_->CancelJob(id);
        }
    });
    EXPECT_FALSE(engine_->ProcessJob(id, true, devices));
    user.join();
    ASSERT_TRUE(canceled);

    JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobCanceled);
    EXPECT_EQ(job.retries, 0);
    EXPECT_EQ(job.lease_until, 0);
    EXPECT_EQ(TargetState(id, "CLOUD1"), kTargetDelivered);
    EXPECT_EQ(TargetState(id, "LAN1"), -1);
    EXPECT_EQ(Connections("LAN1"), 0) << "a device was served after the cancel";
    EXPECT_EQ(log_.Count("WRN", "作业已被取消或被接管，停止本次投递 id=" + std::to_string(id)), 1);

    // Nothing but a retry changes it again.
    now_ += 3600000;
    engine_->RunDuePass(now_.load(), true, devices);
    EXPECT_FALSE(engine_->ProcessJob(id, true, devices));
    EXPECT_EQ(Job(id).state, kJobCanceled);
    EXPECT_EQ(Connections("LAN1"), 0);
    EXPECT_EQ(CloudRequests("/v1/print-jobs"), 1u);

    OnLan("LAN1");  // an hour later the device has answered discovery again
    EXPECT_TRUE(engine_->RetryJob(id, true, devices));
    EXPECT_EQ(Job(id).state, kJobCompleted);
    EXPECT_EQ(Connections("LAN1"), 1);
    EXPECT_EQ(CloudRequests("/v1/print-jobs"), 1u) << "the cloud's device printed it already";
}

// A retry whose check and reset were apart would wipe a lease taken in
// between and run the job a second time.
TEST_F(WorkerTest, RetryNeverWipesALeaseTakenElsewhere) {
    OnLan("LAN1");
    const auto devices = Devices({"LAN1"});
    const auto other = OtherConnection();
    const int64_t id = AddJob("LAN1", "receipt");
    JobRecord theirs;
    ASSERT_TRUE(other->TryLeaseJob(id, JobEngine::kLeaseMs, theirs));

    EXPECT_FALSE(engine_->RetryJob(id, false, devices));
    JobRecord job = Job(id);
    EXPECT_EQ(job.state, kJobProcessing);
    EXPECT_EQ(job.lease_until, theirs.lease_until);
    EXPECT_EQ(Connections("LAN1"), 0);

    // Their attempt ends; now the retry runs.
    theirs.state = kJobAborted;
    theirs.lease_until = 0;
    ASSERT_EQ(other->UpdateLeasedJob(theirs), LeasedWrite::kWritten);
    EXPECT_TRUE(engine_->RetryJob(id, false, devices));
    EXPECT_EQ(Connections("LAN1"), 1);
}

}  // namespace
}  // namespace qs::test
