// The core as a whole: start and stop, listeners per device port, print data
// delivered end to end, device status and the clean-up.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "core/core.h"
#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "foundation/time_util.h"
#include "jobs/device_sim_client.h"
#include "support/log_lines.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace qs {
namespace {

using test::DeviceSim;
using test::FakeCloudPeer;
using test::CountLogged;
using test::Logged;
using test::TempDir;
using test::WaitFor;

// Sends bytes to 127.0.0.1:port with a plain socket and closes it.
bool SendReceipt(int32_t port, const std::string& bytes) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(s.get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    shutdown(s.get(), SD_SEND);
    return true;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        ASSERT_TRUE(sim_.available()) << "run with tools/device_sim.py beside";
        ASSERT_TRUE(cloud_.Available()) << "run with tools/fake_cloud.py beside";
        cloud_.Reset();
        now_ = NowEpochMsReal();
    }

    void TearDown() override {
        if (core_) core_->Stop();
        core_.reset();
        WSACleanup();
    }

    static int64_t NowEpochMsReal() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    CoreOptions Options() {
        CoreOptions o;
        o.dataRoot = dir_.path();
        o.cloudBaseUrl = cloud_.BaseUrl();
        o.discovery.local_port = 0;
        o.discovery.device_port = sim_.udpPort();
        o.delivery.device_port = sim_.tcpPort();
        o.nowMs = [this] { return now_.load(); };
        o.cloudSleep = [](int32_t, const std::atomic<bool>*) {};
        return o;
    }

    // Devices go straight into the table, as an earlier run would have left them.
    void StoreDevice(const std::string& sn, int32_t port) {
        ConfigStore store;
        ASSERT_TRUE(store.Open(DatabasePathIn()));
        DeviceRecord d;
        d.sn = sn;
        d.port = port;
        d.crc = "code-" + sn;
        ASSERT_TRUE(store.UpsertDevice(d));
    }

    std::wstring DatabasePathIn() const { return dir_ / L"qnconfig.db"; }

    Core& StartCore(CoreOptions o) {
        core_ = std::make_unique<Core>(std::move(o));
        EXPECT_TRUE(core_->Start(false));
        return *core_;
    }

    Core& StartCore() { return StartCore(Options()); }

    JobRecord OnlyJob() {
        std::vector<JobRecord> jobs = core_->ListJobs(10);
        EXPECT_EQ(jobs.size(), 1u);
        return jobs.empty() ? JobRecord() : jobs.front();
    }

    bool JobReaches(int32_t state, int timeoutMs) {
        return WaitFor([&] {
            std::vector<JobRecord> jobs = core_->ListJobs(10);
            return jobs.size() == 1 && jobs[0].state == state;
        }, timeoutMs);
    }

    TempDir dir_;
    DeviceSim sim_;
    FakeCloudPeer cloud_;
    std::atomic<int64_t> now_{0};
    std::unique_ptr<Core> core_;
};

TEST_F(CoreTest, StartOpensOneListenerPerPortedDeviceAndIsIdempotent) {
    StoreDevice("COREOFF1", 39160);
    StoreDevice("COREOFF2", 39161);
    StoreDevice("COREOFF3", 0);
    Core& core = StartCore();
    EXPECT_TRUE(Logged("），设备 3 台"));
    EXPECT_TRUE(Logged("监听已启动：127.0.0.1:39160"));
    EXPECT_TRUE(Logged("监听已启动：127.0.0.1:39161"));
    EXPECT_EQ(core.SnapshotDevices().size(), 3u);

    size_t starts = CountLogged("核心已启动（");
    EXPECT_TRUE(core.Start(false));
    EXPECT_EQ(CountLogged("核心已启动（"), starts) << "a second Start reopened the core";

    core.Stop();
    EXPECT_FALSE(core.IsRunning());
    size_t lines = Logger::Instance().RecentLines(0).size();
    core.Stop();
    EXPECT_EQ(Logger::Instance().RecentLines(0).size(), lines) << "Stop when stopped logged";
}

TEST_F(CoreTest, PortHeldByAnotherProgramIsLoggedAndTheCoreStillStarts) {
    UniqueSocket holder(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(39162);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(holder.get(), 1), 0);

    StoreDevice("COREOFF1", 39162);
    Core& core = StartCore();
    EXPECT_TRUE(core.IsRunning());
    EXPECT_TRUE(Logged("监听启动失败，该设备将只能走云端：端口 39162"));
}

TEST_F(CoreTest, UnopenableDatabaseFailsStart) {
    // A folder where the database file should be.
    ASSERT_TRUE(MakeDirs(DatabasePathIn()));
    core_ = std::make_unique<Core>(Options());
    EXPECT_FALSE(core_->Start(false));
    EXPECT_FALSE(core_->IsRunning());
    EXPECT_TRUE(Logged("数据库打开失败，进程退出"));
}

TEST_F(CoreTest, ReceiptOnTheLanReachesTheDeviceByteForByte) {
    StoreDevice("CORELAN1", 39163);
    StartCore();
    std::string receipt(4096, '\0');
    for (size_t i = 0; i < receipt.size(); ++i) receipt[i] = static_cast<char>(i * 7 + 3);
    ASSERT_TRUE(SendReceipt(39163, receipt));

    std::vector<test::SimJob> got = sim_.WaitJobs(1, 10000, "CORELAN1");
    ASSERT_EQ(got.size(), 1u);
    std::string bytes;
    ASSERT_TRUE(sim_.JobBytes(got[0], &bytes));
    EXPECT_EQ(bytes, receipt);

    ASSERT_TRUE(JobReaches(kJobCompleted, 5000));
    JobRecord job = OnlyJob();
    ASSERT_EQ(job.targets.size(), 1u);
    EXPECT_EQ(job.targets[0].sn, "CORELAN1");
    EXPECT_EQ(job.targets[0].state, kTargetDelivered);
    EXPECT_TRUE(cloud_.RequestsTo("/v1/files").empty()) << "a LAN delivery also went to the cloud";
}

TEST_F(CoreTest, ReceiptOffTheLanGoesThroughTheCloud) {
    StoreDevice("COREOFF1", 39164);
    StartCore();
    ASSERT_TRUE(SendReceipt(39164, "receipt via cloud"));
    ASSERT_TRUE(JobReaches(kJobCompleted, 15000));
    EXPECT_EQ(cloud_.RequestsTo("/v1/files").size(), 1u);
    EXPECT_EQ(cloud_.RequestsTo("/v1/print-jobs").size(), 1u);
    EXPECT_TRUE(sim_.WaitJobs(0, 0, "COREOFF1").empty());
}

// Sends bytes and waits for the listener's answer: 1 closed in order (the
// job is stored), 0 reset, -1 nothing within the time.
int SendAndAwaitAnswer(int32_t port, const std::string& bytes, int timeoutMs) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return 0;
    if (send(s.get(), bytes.data(), static_cast<int>(bytes.size()), 0) !=
        static_cast<int>(bytes.size()))
        return 0;
    shutdown(s.get(), SD_SEND);
    const DWORD t = static_cast<DWORD>(timeoutMs);
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof(t));
    char byte;
    const int n = recv(s.get(), &byte, 1, 0);
    if (n == 0) return 1;
    return n < 0 && WSAGetLastError() == WSAETIMEDOUT ? -1 : 0;
}

// A slow device must not hold a port's connection slots: each connection only
// stores its job and is answered, so more jobs than slots are all taken while
// the first attempts, on the delivery threads, are still sending. The
// attempts start at once (long before the worker's first pass), and a stop in
// the middle of them ends them between steps and returns; the next start
// delivers what is left, each receipt once.
TEST_F(CoreTest, SlowDeliveriesDoNotHoldTheCaptureSlots) {
    StoreDevice("CORELAN1", 39168);
    ASSERT_TRUE(sim_.Set("CORELAN1", "rate", "2000"));
    ASSERT_TRUE(sim_.Set("CORELAN1", "tcp", "slow"));
    CoreOptions o = Options();
    o.workerIntervalMs = 600000;  // only the first attempts run
    Core& core = StartCore(std::move(o));
    std::string ip;
    ASSERT_TRUE(WaitFor([&] { return core.Discovery().Lookup("CORELAN1", &ip); }, 10000));
    const size_t before = sim_.WaitJobs(0, 0, "CORELAN1").size();
    const int jobs = 10;
    const std::string receipt(4000, 'r');  // two seconds at the device's rate
    for (int i = 0; i < jobs; ++i) {
        SCOPED_TRACE(i);
        const auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(SendAndAwaitAnswer(39168, std::to_string(i) + receipt, 5000), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1500))
            << "the answer waited on a delivery";
    }
    EXPECT_EQ(core.ListJobs(20).size(), static_cast<size_t>(jobs)) << "a sender was turned away";
    EXPECT_GE(sim_.WaitJobs(before + 1, 5000, "CORELAN1").size(), before + 1)
        << "the first attempts did not start at once";

    const auto stopAt = std::chrono::steady_clock::now();
    core.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(6));
    for (const JobRecord& j : core.ListJobs(20))
        EXPECT_TRUE(j.state == kJobPending || j.state == kJobCompleted) << "job " << j.id << " state " << j.state;

    ASSERT_TRUE(sim_.Set("CORELAN1", "tcp", "accept"));
    CoreOptions again = Options();
    again.workerIntervalMs = 200;
    core_.reset();
    Core& second = StartCore(std::move(again));
    EXPECT_TRUE(WaitFor([&] {
        for (const JobRecord& j : second.ListJobs(20))
            if (j.state != kJobCompleted) return false;
        return true;
    }, 30000));
    const std::vector<test::SimJob> got = sim_.WaitJobs(before + jobs, 10000, "CORELAN1");
    size_t whole = 0;
    for (size_t i = before; i < got.size(); ++i)
        if (got[i].complete) ++whole;
    EXPECT_EQ(whole, static_cast<size_t>(jobs)) << "a receipt was lost or sent twice";
}

TEST_F(CoreTest, FailedJobWaitsForItsBackOffAndTheWorkerCompletesIt) {
    StoreDevice("COREOFF1", 39165);
    cloud_.Rules(R"([{"path":"/v1/files","status":500,"times":1}])");
    CoreOptions o = Options();
    o.workerIntervalMs = 200;
    StartCore(std::move(o));
    ASSERT_TRUE(SendReceipt(39165, "retry me"));
    ASSERT_TRUE(WaitFor([&] {
        std::vector<JobRecord> jobs = core_->ListJobs(10);
        return jobs.size() == 1 && jobs[0].retries == 1;
    }, 15000));
    JobRecord job = OnlyJob();
    EXPECT_EQ(job.state, kJobPending);
    EXPECT_EQ(job.retries, 1);
    EXPECT_EQ(job.next_retry_at, now_.load() + 5000);

    // Not due yet: passes run but leave it alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(OnlyJob().state, kJobPending);

    now_ += 6000;
    ASSERT_TRUE(JobReaches(kJobCompleted, 15000));
    EXPECT_EQ(cloud_.RequestsTo("/v1/files").size(), 2u);
}

TEST_F(CoreTest, FirstDeliveryPassWaitsOneWorkerInterval) {
    StoreDevice("CORELAN1", 0);
    {
        // A pending job left from an earlier run, due now.
        ConfigStore store;
        ASSERT_TRUE(store.Open(DatabasePathIn()));
        std::wstring spool = dir_ / L"left.dat";
        ASSERT_TRUE(WriteFileBytes(spool, "left over"));
        JobRecord job;
        job.sn = "CORELAN1";
        job.path = WideToUtf8(spool);
        job.idem = "left-over";
        job.expires_at = now_.load() + 86400000;
        ASSERT_NE(store.InsertJob(job), 0);
    }
    CoreOptions o = Options();
    o.workerIntervalMs = 1500;
    auto started = std::chrono::steady_clock::now();
    StartCore(std::move(o));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(OnlyJob().state, kJobPending) << "the worker ran at once";
    ASSERT_TRUE(JobReaches(kJobCompleted, 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
}

TEST_F(CoreTest, PrintDataOnAPortWithoutDeviceMakesNoJob) {
    StoreDevice("CORELAN1", 0);
    Core& core = StartCore();
    std::wstring spool = PathJoin(DataDir(), L"orphan.dat");
    ASSERT_TRUE(WriteFileBytes(spool, "nobody's"));
    EXPECT_FALSE(core.OnPrintData(spool, 39199));
    EXPECT_TRUE(Logged("收到数据但找不到对应设备，端口 39199"));
    EXPECT_TRUE(core.ListJobs(10).empty());
    EXPECT_TRUE(FileExists(spool)) << "the file is left for the clean-up";
}

// Stop must wait for a connection that is still sending and for its job,
// without a deadlock between the listener and the device lock. A job whose
// attempt met the stop stays pending (never half-processed) and the next
// start delivers it: every receipt reaches the device exactly once.
TEST_F(CoreTest, StopWaitsForAnInFlightJobWithoutDeadlockAndLosesNothing) {
    StoreDevice("CORELAN2", 39166);
    const int rounds = 6;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        Core& core = StartCore();
        std::atomic<bool> sent{false};
        std::thread sender([&] {
            UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(39166);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return;
            for (int i = 0; i < 10; ++i) {
                send(s.get(), "0123456789", 10, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            sent = true;
            shutdown(s.get(), SD_SEND);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        core.Stop();
        sender.join();
        EXPECT_TRUE(sent.load());
        std::vector<JobRecord> jobs = core.ListJobs(10);
        ASSERT_EQ(jobs.size(), static_cast<size_t>(round + 1)) << "the receipt was not stored";
        EXPECT_TRUE(jobs[0].state == kJobCompleted || jobs[0].state == kJobPending)
            << "state " << jobs[0].state;
        core_.reset();
    }

    CoreOptions o = Options();
    o.workerIntervalMs = 200;
    Core& core = StartCore(std::move(o));
    EXPECT_TRUE(WaitFor([&] {
        for (const JobRecord& j : core.ListJobs(10))
            if (j.state != kJobCompleted) return false;
        return true;
    }, 15000));
    std::vector<test::SimJob> got = sim_.WaitJobs(rounds, 5000, "CORELAN2");
    EXPECT_EQ(got.size(), static_cast<size_t>(rounds));
    for (const test::SimJob& j : got) EXPECT_EQ(j.size, 100);
}

TEST_F(CoreTest, StatusCombinesTheLanAndTheCloud) {
    StoreDevice("CORELAN1", 0);
    StoreDevice("COREOFF1", 0);
    StoreDevice("COREOFF2", 0);
    Core& core = StartCore();  // its refresh: the cloud's default, online with status 1
    cloud_.Rules(R"([
        {"path":"/v1/pc/device-status","body":{"data":{"type_name":"T1","state":"offline","status":-1}},"times":1},
        {"path":"/v1/pc/device-status","body":{"data":{"type_name":"T2","state":"online","status":5}},"times":1},
        {"path":"/v1/pc/device-status","body":{"data":{"type_name":"T3","state":"离线","status":-1}},"times":1}])");
    core.RefreshDeviceStatus();

    std::vector<DeviceRecord> devices = core.SnapshotDevices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].network, "Lan") << "the LAN beats the cloud's offline";
    EXPECT_EQ(devices[0].lanIp, sim_.AddressOf("CORELAN1"));
    EXPECT_EQ(devices[0].status, 1);
    EXPECT_EQ(devices[1].network, "在线");
    EXPECT_EQ(devices[1].status, 5);
    EXPECT_EQ(devices[1].type_name, "T2");
    EXPECT_EQ(devices[2].network, "离线");
    EXPECT_EQ(devices[2].status, 1) << "offline keeps the previous status";
}

TEST_F(CoreTest, UnreachableCloudLeavesTypeAndStatusAndLanRepliesTurnDevicesLan) {
    StoreDevice("COREOFF1", 0);
    StoreDevice("CORELAN2", 0);
    Core& core = StartCore();
    std::vector<DeviceRecord> before = core.SnapshotDevices();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].network, "在线");

    cloud_.Rules(R"([{"path":"/v1/pc/device-status","action":"drop","times":0}])");
    ASSERT_TRUE(sim_.Set("CORELAN2", "discovery", "silent"));
    core.Discovery().Stop();  // forget the table; no fresh replies
    core.RefreshDeviceStatus();
    std::vector<DeviceRecord> after = core.SnapshotDevices();
    EXPECT_EQ(after[0].network, "离线");
    EXPECT_EQ(after[0].type_name, before[0].type_name);
    EXPECT_EQ(after[0].status, before[0].status);

    // A reply between refreshes marks the device local without asking the cloud.
    size_t requests = cloud_.Requests().size();
    core.Discovery().HandleReply("{\"cmd\":\"Pong\",\"sn\":\"COREOFF1\"}", "127.0.10.3");
    DeviceRecord d = core.FindDevice("COREOFF1");
    EXPECT_EQ(d.network, "Lan");
    EXPECT_EQ(d.lanIp, "127.0.10.3");
    EXPECT_EQ(cloud_.Requests().size(), requests);
}

void SetAge(const std::wstring& path, int64_t nowMs, int64_t ageMs) {
    UniqueFile f(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(f.valid());
    ULARGE_INTEGER t;
    t.QuadPart = static_cast<ULONGLONG>(nowMs - ageMs + 11644473600000LL) * 10000;
    FILETIME ft{t.LowPart, t.HighPart};
    ASSERT_TRUE(SetFileTime(f.get(), nullptr, nullptr, &ft));
}

TEST_F(CoreTest, CleanupDeletesOldFilesAndPrunesFinishedJobs) {
    Core& core = StartCore();
    const int64_t day = 86400000;
    const int64_t now = now_.load();
    std::wstring data = DataDir(), spool = SpoolDir();
    struct Case { std::wstring path; int64_t age; bool kept; };
    std::vector<Case> cases = {
        {PathJoin(data, L"old.dat"), 3 * day + 1000, false},
        {PathJoin(data, L"young.dat"), 3 * day - 3600000, true},
        {PathJoin(spool, L"old.tmp"), day + 1000, false},
        {PathJoin(spool, L"young.tmp"), day - 3600000, true},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(c.path, "x"));
        SetAge(c.path, now, c.age);
    }
    // Diagnostics reports go whole once older than three days; other
    // folders are not the sweep's.
    struct Folder { std::wstring path; int64_t age; bool kept; };
    const std::vector<Folder> folders = {
        {PathJoin(data, L"diag_0123"), 3 * day + 1000, false},
        {PathJoin(data, L"diag_4567"), 3 * day - 3600000, true},
        {PathJoin(data, L"other"), 30 * day, true},
    };
    for (const Folder& f : folders) {
        ASSERT_TRUE(MakeDirs(PathJoin(f.path, L"inner")));
        ASSERT_TRUE(WriteFileBytes(PathJoin(f.path, L"report.txt"), "r"));
        ASSERT_TRUE(WriteFileBytes(PathJoin(f.path, L"inner\\old.txt"), "o"));
        SetAge(PathJoin(f.path, L"report.txt"), now, 30 * day);
        SetAge(f.path, now, f.age);
    }

    ConfigStore& store = core.Store();
    for (int i = 0; i < 250; ++i) {
        JobRecord job;
        job.sn = "X";
        job.path = "x";
        job.idem = "prune-" + std::to_string(i);
        job.id = store.InsertJob(job);
        ASSERT_NE(job.id, 0);
        job.state = kJobCompleted;
        ASSERT_TRUE(store.UpdateJob(job));
    }
    core.RunCleanup();
    for (const Case& c : cases) EXPECT_EQ(FileExists(c.path), c.kept) << WideToUtf8(c.path);
    for (const Folder& f : folders) {
        EXPECT_EQ(FileExists(f.path), f.kept) << WideToUtf8(f.path);
        EXPECT_EQ(FileExists(PathJoin(f.path, L"report.txt")), f.kept) << WideToUtf8(f.path);
    }
    EXPECT_TRUE(Logged("清理历史作业 50 条"));
    EXPECT_EQ(core.ListJobs(1000).size(), 200u);

    size_t lines = CountLogged("清理历史作业");
    core.RunCleanup();
    EXPECT_EQ(CountLogged("清理历史作业"), lines) << "nothing to prune, yet logged";
}

}  // namespace
}  // namespace qs
