// Delivery of one job to one device against the simulated devices and the
// fake cloud: direct first when discovery knows the device, then the cloud.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/fault_point.h"
#include "foundation/handles.h"

#include "jobs/engine_fixture.h"
#include "jobs/lan_send.h"

namespace qs::test {
namespace {

using Clock = std::chrono::steady_clock;

SIZE_T WorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.WorkingSetSize;
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DeliveryTest : public EngineTest {
protected:
    JobTargetRecord Target(int64_t id, const std::string& sn) {
        for (const JobTargetRecord& row : store_.ListJobTargets(id)) {
            if (row.sn == sn) return row;
        }
        return {};
    }

    // Delivery runs inside an attempt, which holds the job's lease.
    JobRecord LeasedJob(int64_t id) {
        JobRecord job;
        store_.ClearJobLease(id);
        EXPECT_TRUE(store_.TryLeaseJob(id, JobEngine::kLeaseMs, job));
        return job;
    }
};

TEST_F(DeliveryTest, LanDeviceGetsTheFileUnchangedAndTheCloudNothing) {
    OnLan("LAN1");
    // Several read chunks and a ragged tail, so chunk seams would show.
    const std::string bytes = ReceiptBytes(3 * 65536 + 4099);
    const int64_t id = AddJob("LAN1", bytes);

    std::string error = "stale";
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "LAN1", error));
    EXPECT_EQ(error, "");

    std::vector<SimJob> got = Received("LAN1", 1, 5000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].complete) << "the sender must end the connection normally";
    std::string received;
    ASSERT_TRUE(sim_.JobBytes(got[0], &received));
    EXPECT_EQ(received.size(), bytes.size());
    EXPECT_TRUE(received == bytes) << "bytes changed on the way";

    const JobTargetRecord row = Target(id, "LAN1");
    EXPECT_EQ(row.state, kTargetDelivered);
    EXPECT_EQ(row.error, "");
    EXPECT_EQ(cloudPeer_.Requests().size(), 0u) << "a direct send is never followed by the cloud";
    EXPECT_EQ(log_.Count("INF", "局域网直发成功 sn=LAN1 ip=" + sim_.AddressOf("LAN1")), 1);
    // The job row itself is the worker's business.
    EXPECT_EQ(Job(id).state, kJobProcessing);
}

#ifdef QS_FAULT_POINTS
// The crash tests stop the process where the device has the whole job but
// its delivery is not yet recorded: the one place a receipt may print twice.
TEST_F(DeliveryTest, LanSendPassesItsFaultPointBetweenTheDeviceAndTheRecord) {
    OnLan("LAN1");
    const int64_t id = AddJob("LAN1", ReceiptBytes(2048));
    const JobRecord job = LeasedJob(id);
    std::vector<std::string> points;
    size_t receivedAtPoint = 0;
    size_t rowsAtPoint = 99;
    SetFaultPointHandler([&](const char* name) {
        points.push_back(name);
        receivedAtPoint = Received("LAN1", 1, 5000).size();
        rowsAtPoint = store_.ListJobTargets(id).size();
    });
    std::string error;
    const bool delivered = engine_->DeliverToDevice(job, "LAN1", error);
    SetFaultPointHandler(nullptr);
    EXPECT_TRUE(delivered);
    EXPECT_EQ(points, std::vector<std::string>{"lan-sent-unrecorded"});
    EXPECT_EQ(receivedAtPoint, 1u) << "the device had the job";
    EXPECT_EQ(rowsAtPoint, 0u) << "its delivery was not yet recorded";
    EXPECT_EQ(Target(id, "LAN1").state, kTargetDelivered);
}
#endif

TEST_F(DeliveryTest, EmptyFileIsSentDirectlyAsAnEmptyConnection) {
    OnLan("LAN1");
    const int64_t id = AddJob("LAN1", "");
    std::string error;
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "LAN1", error));
    std::vector<SimJob> got = Received("LAN1", 1, 5000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size, 0);
    EXPECT_TRUE(got[0].complete);
    EXPECT_EQ(Target(id, "LAN1").state, kTargetDelivered);
    EXPECT_EQ(cloudPeer_.Requests().size(), 0u);
}

TEST_F(DeliveryTest, DeviceNotOnTheLanNeverGetsAConnection) {
    const int64_t id = AddJob("LAN1", "receipt");
    std::string error;
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "LAN1", error));
    EXPECT_EQ(Connections("LAN1"), 0);
    EXPECT_EQ(CloudRequests("/v1/files"), 1u);
    EXPECT_EQ(CloudRequests("/v1/print-jobs"), 1u);
    EXPECT_EQ(Target(id, "LAN1").state, kTargetDelivered);
    EXPECT_EQ(log_.Count("INF", "云端已下发 sn=LAN1 job=job-"), 1);
    EXPECT_EQ(log_.Count("INF", "status=done"), 1);
}

TEST_F(DeliveryTest, RefusedConnectionFallsThroughToTheCloudAtOnce) {
    OnLan("REFUSE1");
    const int64_t id = AddJob("REFUSE1", "receipt");
    std::string error;
    const auto start = Clock::now();
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "REFUSE1", error));
    EXPECT_LT(MsSince(start), 2000) << "a refused connect must not wait for the connect limit";
    EXPECT_EQ(log_.Count("DBG", "局域网直发失败，转云端 sn=REFUSE1"), 1);
    EXPECT_EQ(log_.Count("DBG", "局域网连接超时"), 0);
    EXPECT_EQ(CloudRequests("/v1/files"), 1u);
    EXPECT_EQ(Target(id, "REFUSE1").state, kTargetDelivered);
}

TEST_F(DeliveryTest, BlackHoledDeviceFallsThroughAfterTheConnectLimit) {
    OnLan("HOLE1");
    const int64_t id = AddJob("HOLE1", "receipt");
    std::string error;
    const auto start = Clock::now();
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "HOLE1", error));  // default 3 s
    const int64_t took = MsSince(start);
    EXPECT_GE(took, 2900);
    EXPECT_LT(took, 8000);
    EXPECT_EQ(log_.Count("DBG", "局域网连接超时，转云端 sn=HOLE1"), 1);
    EXPECT_EQ(CloudRequests("/v1/files"), 1u);
    EXPECT_EQ(Target(id, "HOLE1").state, kTargetDelivered);
}

TEST_F(DeliveryTest, DeviceThatStopsReadingFailsTheDirectSendAfterTheStallLimit) {
    options_.send_stall_ms = 1000;
    MakeEngine();
    OnLan("STALL1");
    // Far more than the socket buffers on both sides can hold.
    const int64_t id = AddJob("STALL1", ReceiptBytes(24 << 20));
    std::string error;
    const auto start = Clock::now();
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "STALL1", error));
    EXPECT_LT(MsSince(start), 15000);
    EXPECT_EQ(log_.Count("DBG", "局域网直发失败，转云端 sn=STALL1"), 1);
    EXPECT_EQ(CloudRequests("/v1/files"), 1u);
    EXPECT_EQ(Target(id, "STALL1").state, kTargetDelivered);
}

// The whole job fits in the socket buffers, so every send succeeds at once;
// a device that has not taken it and closed within the stall limit has not
// printed it.
TEST_F(DeliveryTest, DeviceThatStopsReadingASmallJobFailsTheDirectSendAfterTheStallLimit) {
    options_.send_stall_ms = 1000;
    MakeEngine();
    const std::wstring file = WriteSpool(ReceiptBytes(256 << 10));
    const auto start = Clock::now();
    EXPECT_EQ(engine_->SendFileOverLan(file, sim_.AddressOf("STALL1"), sim_.tcpPort()), kLanFailed);
    const int64_t took = MsSince(start);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 8000);
}

// Each cloud outcome as the fake server is told to answer it.
struct CloudCase {
    const char* name;
    const char* rules;          // fake cloud rules, "" for none
    const char* statuses;       // job status sequence
    bool delivered;
    const char* error;          // stored error text
    const char* level;          // log line level
    const char* line;           // text the log line holds
    size_t statusPolls;         // GET /v1/print-jobs/<id> requests
};

const CloudCase kCloudCases[] = {
    {"UploadRefusedWithoutBody", R"([{"path":"/v1/files","status":500}])", R"(["done"])", false,
     "文件上传失败 HTTP 500", "WRN", "投递失败 sn=CLOUD1 文件上传失败 HTTP 500", 0},
    {"UploadRefusedWithMessage",
     R"([{"path":"/v1/files","status":413,"body":{"error":{"code":4130,"message":"文件过大"}}}])",
     R"(["done"])", false, "文件过大", "WRN", "投递失败 sn=CLOUD1 文件过大", 0},
    {"SubmissionWithoutJobId", R"([{"path":"/v1/print-jobs","status":200,"body":{"data":{}}}])",
     R"(["done"])", false, "云端未返回作业号", "WRN", "云端未返回作业号 sn=CLOUD1", 0},
    {"CloudAcceptsForPrinting", "", R"(["pushing"])", true, "", "INF",
     "云端已下发 sn=CLOUD1 job=job-", 1},
    {"CloudReportsFailed", "", R"(["queued","failed"])", false,
     "服务端判定下发失败（status=failed）", "WRN", "云端下发失败 sn=CLOUD1 job=job-", 2},
    {"CloudReportsCancelled", "", R"(["cancelled"])", false,
     "服务端判定下发失败（status=cancelled）", "WRN", "（status=cancelled）", 1},
    // 20 s of polling: the first after 1.5 s, then every 3 s.
    {"UndecidedWithinTwentySeconds", "", R"(["queued"])", false,
     "云端已受理但未确认下发（status=queued）", "WRN",
     "云端已受理但未确认下发（status=queued） sn=CLOUD1", 7},
};

class CloudOutcomeTest : public DeliveryTest,
                         public ::testing::WithParamInterface<CloudCase> {};

TEST_P(CloudOutcomeTest, StoresTheOutcomeForTheDevice) {
    const CloudCase& c = GetParam();
    if (*c.rules) cloudPeer_.Rules(c.rules);
    cloudPeer_.Config(std::string("{\"job_statuses\":") + c.statuses + "}");
    const int64_t id = AddJob("CLOUD1", "receipt");

    std::string error = "stale";
    EXPECT_EQ(engine_->DeliverToDevice(LeasedJob(id), "CLOUD1", error), c.delivered);
    EXPECT_EQ(error, c.error);
    const JobTargetRecord row = Target(id, "CLOUD1");
    EXPECT_EQ(row.sn, "CLOUD1");
    EXPECT_EQ(row.state, c.delivered ? kTargetDelivered : kTargetFailed);
    EXPECT_EQ(row.error, c.error);
    EXPECT_EQ(log_.Count(c.level, c.line), 1) << c.line;

    size_t polls = 0;
    for (const RecordedRequest& r : cloudPeer_.Requests()) {
        if (r.method == "GET" && r.path.rfind("/v1/print-jobs/", 0) == 0) ++polls;
    }
    EXPECT_EQ(polls, c.statusPolls);
    // The job row is left for the worker to settle.
    EXPECT_EQ(Job(id).state, kJobProcessing);
    EXPECT_EQ(Job(id).retries, 0);
}

INSTANTIATE_TEST_SUITE_P(Cloud, CloudOutcomeTest, ::testing::ValuesIn(kCloudCases),
                         [](const ::testing::TestParamInfo<CloudCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DeliveryTest, UndecidedSubmissionIsResubmittedUnderTheSameJobId) {
    cloudPeer_.Config(R"({"job_statuses":["queued"]})");
    const int64_t id = AddJob("CLOUD1", "receipt");
    std::string error;
    EXPECT_FALSE(engine_->DeliverToDevice(LeasedJob(id), "CLOUD1", error));
    cloudPeer_.Config(R"({"job_statuses":["done"]})");
    EXPECT_TRUE(engine_->DeliverToDevice(LeasedJob(id), "CLOUD1", error));

    std::vector<RecordedRequest> submits = cloudPeer_.RequestsTo("/v1/print-jobs");
    ASSERT_EQ(submits.size(), 2u);
    const std::string reference = "\"client_request_id\":\"pc-" + std::to_string(id) + "\"";
    EXPECT_NE(submits[0].body.find(reference), std::string::npos) << submits[0].body;
    EXPECT_NE(submits[1].body.find(reference), std::string::npos) << submits[1].body;
    EXPECT_EQ(Target(id, "CLOUD1").state, kTargetDelivered);
    EXPECT_EQ(Target(id, "CLOUD1").error, "");
}

// The direct send on its own: every result it can give.
TEST_F(DeliveryTest, DirectSendResults) {
    options_.connect_ms = 500;
    MakeEngine();
    const uint16_t port = sim_.tcpPort();
    const std::wstring file = WriteSpool(ReceiptBytes(70000));

    EXPECT_EQ(engine_->SendFileOverLan(file, sim_.AddressOf("LAN1"), port), kLanSent);
    EXPECT_EQ(engine_->SendFileOverLan(file, sim_.AddressOf("REFUSE1"), port), kLanFailed);
    const auto start = Clock::now();
    EXPECT_EQ(engine_->SendFileOverLan(file, sim_.AddressOf("HOLE1"), port), kLanConnectTimeout);
    EXPECT_GE(MsSince(start), 450) << "the connect limit is the injected one";
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_EQ(engine_->SendFileOverLan(dir_ / L"missing.dat", sim_.AddressOf("LAN1"), port),
              kLanFailed);
    EXPECT_EQ(engine_->SendFileOverLan(file, "not-an-address", port), kLanFailed);
    EXPECT_EQ(engine_->SendFileOverLan(file, "", port), kLanFailed);
    // Only the one good send reached the device: a missing file opens no connection.
    EXPECT_EQ(Received("LAN1", 1, 5000).size(), 1u);
    EXPECT_EQ(Connections("LAN1"), 1);
}

TEST_F(DeliveryTest, DeviceThatResetsMidJobFailsTheSend) {
    const std::wstring file = WriteSpool(ReceiptBytes(8 << 20));
    EXPECT_EQ(engine_->SendFileOverLan(file, sim_.AddressOf("RESET1"), sim_.tcpPort()),
              kLanFailed);
}

TEST_F(DeliveryTest, BufferSendDeliversTheBytesUnchanged) {
    const std::string bytes = ReceiptBytes(300001);
    EXPECT_EQ(engine_->SendBufferOverLan(bytes, sim_.AddressOf("LAN1"), sim_.tcpPort()), kLanSent);
    EXPECT_EQ(engine_->SendBufferOverLan(bytes, sim_.AddressOf("REFUSE1"), sim_.tcpPort()),
              kLanFailed);
    std::vector<SimJob> got = Received("LAN1", 1, 5000);
    ASSERT_EQ(got.size(), 1u);
    std::string received;
    ASSERT_TRUE(sim_.JobBytes(got[0], &received));
    EXPECT_TRUE(received == bytes);
    EXPECT_EQ(engine_->SendBufferOverLan("", sim_.AddressOf("LAN1"), sim_.tcpPort()), kLanSent);
}

// Streaming keeps the working set flat whatever the file's size.
TEST_F(DeliveryTest, LargeFileIsStreamedNotLoaded) {
    const std::wstring file = dir_ / L"big.dat";
    {
        // 64 MiB written in pieces, so the test itself never holds it.
        UniqueFile out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(out.valid());
        const std::string piece = ReceiptBytes(1 << 20);
        for (int i = 0; i < 64; ++i) {
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(out.get(), piece.data(), static_cast<DWORD>(piece.size()),
                                  &written, nullptr));
        }
    }
    // Watch the working set while the send runs: a file read whole would
    // add its 64 MiB for as long as the send takes.
    const SIZE_T base = WorkingSet();
    std::atomic<bool> sending{true};
    std::atomic<SIZE_T> highest{base};
    std::thread watcher([&] {
        while (sending.load()) {
            const SIZE_T now = WorkingSet();
            if (now > highest.load()) highest.store(now);
            Sleep(2);
        }
    });
    EXPECT_EQ(engine_->SendFileOverLan(file, sim_.AddressOf("LAN1"), sim_.tcpPort()), kLanSent);
    sending.store(false);
    watcher.join();
    const SIZE_T growth = highest.load() - base;
    EXPECT_LT(growth, SIZE_T(16) << 20) << "working set grew by " << (growth >> 20) << " MiB";
    std::vector<SimJob> got = Received("LAN1", 1, 20000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size, int64_t(64) << 20);
    EXPECT_TRUE(got[0].complete);
}

}  // namespace
}  // namespace qs::test
