// Device operations and the diagnostics report on a running core: ports,
// verification, binding and removal against the in-memory print system,
// test pages to simulated devices, and the report's layout.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "core/core.h"
#include "core/diagnostics.h"
#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "jobs/device_sim_client.h"
#include "printers/fake_print_system.h"
#include "support/log_lines.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::DeviceSim;
using test::FakeCloudPeer;
using test::CountLogged;
using test::Logged;
using test::TempDir;

// A listening loopback socket that keeps a port taken.
UniqueSocket HoldPort(int32_t port) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0) << port;
    EXPECT_EQ(listen(s.get(), 1), 0);
    return s;
}

// Names of the files directly in a folder.
std::vector<std::wstring> FilesIn(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(PathJoin(folder, pattern).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

class DeviceOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        ASSERT_TRUE(sim_.available()) << "run with tools/device_sim.py beside";
        ASSERT_TRUE(cloud_.Available()) << "run with tools/fake_cloud.py beside";
        sim_.Reset();
        cloud_.Reset();
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
        o.discovery.device_port = sim_.udpPort();
        o.delivery.device_port = sim_.tcpPort();
        o.cloudSleep = [](int32_t, const std::atomic<bool>*) {};
        o.printSystem = &printers_;
        o.isElevated = [this] { return elevated_.load(); };
        return o;
    }

    Core& StartCore(bool serviceMode = false) {
        core_ = std::make_unique<Core>(Options());
        EXPECT_TRUE(core_->Start(serviceMode));
        return *core_;
    }

    void AddQueue(const std::wstring& name, const std::wstring& port, uint32_t attributes = 0) {
        FakePrintSystem::Queue q;
        q.name = name;
        q.port = port;
        q.attributes = attributes;
        if (!printers_.FindPort(port)) printers_.AddListedPort(port, L"");
        printers_.AddQueue(q);
    }

    void Add(const std::string& sn) {
        CloudResult r = core_->AddDevice(sn, "code-" + sn, "", "", 0, 0);
        ASSERT_EQ(r.code, 0) << sn << " " << r.message;
    }

    DeviceRecord Stored(const std::string& sn) {
        for (const DeviceRecord& d : core_->Store().ListDevices())
            if (d.sn == sn) return d;
        return DeviceRecord();
    }

    std::wstring QueuePort(const std::wstring& name) {
        FakePrintSystem::Queue* q = printers_.FindQueue(name);
        return q ? q->port : L"<no queue>";
    }

    FakePrintSystem printers_;  // outlives the core that uses it
    TempDir dir_;
    DeviceSim sim_;
    FakeCloudPeer cloud_;
    std::atomic<bool> elevated_{true};
    std::unique_ptr<Core> core_;
};

TEST_F(DeviceOpsTest, NewDevicesGetTheNextFreePortAndTheHighestIsHandedOutAgain) {
    Core& core = StartCore();
    ASSERT_EQ(core.AddDevice("OPSOFF1", "c1", "", "", 0, -5).code, 0);
    DeviceRecord first = core.FindDevice("OPSOFF1");
    EXPECT_EQ(first.port, 39100);
    EXPECT_EQ(first.devname, "OPSOFF1") << "an empty name stores the serial number";
    EXPECT_EQ(first.media, "receipt");
    EXPECT_EQ(first.paper_height_mm, 0);
    EXPECT_EQ(Stored("OPSOFF1").crc, "c1");
    EXPECT_TRUE(Logged("已添加设备 sn=OPSOFF1 端口=39100"));
    EXPECT_TRUE(Logged("监听已启动：127.0.0.1:39100"));

    UniqueSocket taken = HoldPort(39101);
    ASSERT_EQ(core.AddDevice("OPSOFF2", "c2", "Kitchen", "label", 58, 40).code, 0);
    DeviceRecord second = core.FindDevice("OPSOFF2");
    EXPECT_EQ(second.port, 39102) << "a port held by another program was handed out";
    EXPECT_EQ(second.devname, "Kitchen");
    EXPECT_EQ(second.media, "label");
    EXPECT_EQ(second.paper_width_mm, 58);
    EXPECT_EQ(second.paper_height_mm, 40);
    EXPECT_TRUE(printers_.Calls().empty()) << "adding a device touched the printers";

    ASSERT_TRUE(core.RemoveDevice("OPSOFF2"));
    ASSERT_EQ(core.AddDevice("OPSOFF3", "c3", "", "", 0, 0).code, 0);
    EXPECT_EQ(core.FindDevice("OPSOFF3").port, 39102);
    EXPECT_EQ(Stored("OPSOFF3").port, 39102);
}

TEST_F(DeviceOpsTest, ReAddingAKnownSerialOnlyUpdatesMediaAndSize) {
    Core& core = StartCore();
    ASSERT_EQ(core.AddDevice("OPSOFF1", "c1", "Front", "receipt", 58, 30).code, 0);
    size_t lines = Logger::Instance().RecentLines(0).size();
    printers_.ClearCalls();

    struct Case { std::string media; int32_t width, height; std::string wantMedia; int32_t wantW, wantH; };
    const std::vector<Case> cases = {
        {"label", 80, 0, "label", 80, 30},   // height 0 keeps the stored one
        {"", -1, 50, "label", 80, 50},        // empty media, negative width keep theirs
        {"label", 80, 50, "label", 80, 50},   // nothing differs
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.media + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
        CloudResult r = core.AddDevice("OPSOFF1", "other-code", "Renamed", c.media, c.width, c.height);
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.message.empty());
        for (const DeviceRecord& d : {core.FindDevice("OPSOFF1"), Stored("OPSOFF1")}) {
            EXPECT_EQ(d.media, c.wantMedia);
            EXPECT_EQ(d.paper_width_mm, c.wantW);
            EXPECT_EQ(d.paper_height_mm, c.wantH);
            EXPECT_EQ(d.devname, "Front");
            EXPECT_EQ(d.crc, "c1");
            EXPECT_EQ(d.port, 39100);
        }
    }
    EXPECT_EQ(core.SnapshotDevices().size(), 1u);
    EXPECT_TRUE(printers_.Calls().empty()) << "an update touched the printers";
    EXPECT_EQ(Logger::Instance().RecentLines(0).size(), lines) << "an update logged";
}

TEST_F(DeviceOpsTest, RefusedVerificationReturnsTheCloudsResultAndStoresNothing) {
    Core& core = StartCore();
    const size_t added = CountLogged("已添加设备");
    struct Case { const char* name; std::string config, rules; int32_t code; std::string message; };
    const std::vector<Case> cases = {
        {"wrong code", R"({"codes":{"OPSOFF1":"right"}})", "", 4003, "验证码错误"},
        {"not offered", "", R"([{"path":"/v1/auth/device-token","status":404,"times":1}])", -404,
         "打印服务器尚未开通设备校验"},
        {"unreachable", "", R"([{"path":"/v1/auth/device-token","action":"drop","times":0}])", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cloud_.Reset();
        if (!c.config.empty()) cloud_.Config(c.config);
        if (!c.rules.empty()) cloud_.Rules(c.rules);
        CloudResult r = core.AddDevice("OPSOFF1", "wrong", "", "", 0, 0);
        EXPECT_EQ(r.code, c.code);
        if (!c.message.empty()) {
            EXPECT_EQ(r.message, c.message);
        }
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(core.SnapshotDevices().empty());
        EXPECT_TRUE(core.Store().ListDevices().empty());
    }
    EXPECT_EQ(CountLogged("已添加设备"), added);
}

TEST_F(DeviceOpsTest, FindFreePortSkipsTakenPortsAndFallsBackToTheClockRange) {
    Core& core = StartCore();
    UniqueSocket a = HoldPort(39100);
    UniqueSocket b = HoldPort(39101);
    EXPECT_EQ(core.FindFreePort(39100, 200), 39102);
    EXPECT_EQ(core.FindFreePort(0, 200), 39102) << "a low candidate starts at 39100";
    EXPECT_EQ(core.FindFreePort(39150, 200), 39150);

    // A port our own listener holds is taken too.
    ASSERT_EQ(core.AddDevice("OPSOFF1", "c1", "", "", 0, 0).code, 0);
    EXPECT_EQ(core.FindDevice("OPSOFF1").port, 39102);
    EXPECT_EQ(core.FindFreePort(39100, 200), 39103);

    // Past the scanned range: the clock range above 40100.
    int32_t p = core.FindFreePort(39300, 200);
    EXPECT_GE(p, 40100);
    EXPECT_LT(p, 40100 + 8000 + 50);
    int32_t short_ = core.FindFreePort(39100, 2);
    EXPECT_GE(short_, 40100) << "a count of 2 scans only the two taken ports";
    EXPECT_LT(short_, 40100 + 8000 + 50);
}

TEST_F(DeviceOpsTest, ConcurrentAddsNeverShareAPort) {
    Core& core = StartCore();
    const std::vector<std::string> sns = {"OPSOFF1", "OPSOFF2", "OPSOFF3", "OPSLAN1"};
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (const std::string& sn : sns)
        threads.emplace_back([&, sn] {
            if (core.AddDevice(sn, "c", "", "", 0, 0).code == 0) ++ok;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok.load(), 4);
    std::set<int32_t> ports;
    for (const DeviceRecord& d : core.SnapshotDevices()) ports.insert(d.port);
    EXPECT_EQ(ports, (std::set<int32_t>{39100, 39101, 39102, 39103}));
}

TEST_F(DeviceOpsTest, BindingRefusalsChangeNothing) {
    Core& core = StartCore();
    Add("OPSOFF1");
    AddQueue(L"POS-A", L"USB001");
    printers_.ClearCalls();

    std::string error = "x";
    HealthReport r = core.BindPrinter("NOSUCH", "POS-A", error);
    EXPECT_EQ(error, "设备不存在");
    EXPECT_TRUE(r.issues.empty());

    elevated_ = false;
    r = core.BindPrinter("OPSOFF1", "POS-A", error);
    EXPECT_EQ(error, "当前进程权限不足，无法修改端口与打印机属性");
    EXPECT_TRUE(r.issues.empty());
    EXPECT_TRUE(printers_.Calls().empty()) << "a refused binding reached the printers";

    elevated_ = true;
    r = core.BindPrinter("OPSOFF1", "NO-QUEUE", error);
    EXPECT_EQ(error, "打印机队列不存在");
    EXPECT_TRUE(r.issues.empty());

    for (const DeviceRecord& d : {core.FindDevice("OPSOFF1"), Stored("OPSOFF1")}) {
        EXPECT_TRUE(d.printer_driver.empty());
        EXPECT_TRUE(d.prev_port.empty());
    }
    EXPECT_EQ(QueuePort(L"POS-A"), L"USB001");
    EXPECT_EQ(printers_.FindPort(L"Quillnet39100"), nullptr);
    EXPECT_FALSE(Logged("已绑定驱动"));
}

TEST_F(DeviceOpsTest, RebindingReturnsTheOldQueueAndRemovalRestoresTheNewOne) {
    Core& core = StartCore();
    Add("OPSOFF1");
    AddQueue(L"POS-A", L"USB001");
    AddQueue(L"POS-B", L"LPT1:", kAttrEnableBidi);

    std::string error = "x";
    HealthReport r = core.BindPrinter("OPSOFF1", "POS-A", error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(QueuePort(L"POS-A"), L"Quillnet39100");
    ASSERT_NE(printers_.FindPort(L"Quillnet39100"), nullptr) << "the repair made no port";
    EXPECT_EQ(printers_.FindPort(L"Quillnet39100")->number, 39100u);
    EXPECT_EQ(core.FindDevice("OPSOFF1").prev_port, "USB001");

    r = core.BindPrinter("OPSOFF1", "POS-B", error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(QueuePort(L"POS-A"), L"USB001") << "the old queue was not returned";
    EXPECT_EQ(QueuePort(L"POS-B"), L"Quillnet39100");
    EXPECT_EQ(printers_.FindQueue(L"POS-B")->attributes & kAttrEnableBidi, 0u)
        << "the repair left bidirectional support on";
    ASSERT_FALSE(r.issues.empty());
    for (const HealthIssue& i : r.issues) EXPECT_TRUE(i.fixed) << i.code;
    EXPECT_TRUE(Logged("已绑定驱动 sn=OPSOFF1 printer=POS-B 体检 " +
                       std::to_string(r.issues.size()) + " 项，仍未通过 0"));
    for (const DeviceRecord& d : {core.FindDevice("OPSOFF1"), Stored("OPSOFF1")}) {
        EXPECT_EQ(d.printer_driver, "POS-B");
        EXPECT_EQ(d.prev_port, "LPT1:");
    }

    // The same queue again: it already prints to the device's port.
    r = core.BindPrinter("OPSOFF1", "POS-B", error);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(r.issues.empty());
    EXPECT_EQ(Stored("OPSOFF1").prev_port, "LPT1:");
    EXPECT_EQ(QueuePort(L"POS-A"), L"USB001");

    // Repair needs no elevation and keeps the binding.
    elevated_ = false;
    printers_.FindQueue(L"POS-B")->attributes |= kAttrWorkOffline;
    r = core.RepairDevice("OPSOFF1");
    ASSERT_EQ(r.issues.size(), 1u);
    EXPECT_EQ(r.issues[0].code, kIssueWorkOffline);
    EXPECT_TRUE(r.issues[0].fixed);
    EXPECT_TRUE(Logged("体检修复 sn=OPSOFF1 问题 1 项"));
    elevated_ = true;

    // A job of the device stays after its removal.
    ASSERT_TRUE(WriteFileBytes(PathJoin(DataDir(), L"kept.dat"), "kept"));
    ASSERT_NE(core.Jobs().EnqueueJob("OPSOFF1", PathJoin(DataDir(), L"kept.dat"), 0, "k1"), 0);

    EXPECT_TRUE(core.RemoveDevice("OPSOFF1"));
    EXPECT_EQ(QueuePort(L"POS-B"), L"LPT1:");
    EXPECT_TRUE(printers_.HasQueue(L"POS-B")) << "the queue itself was deleted";
    EXPECT_EQ(printers_.FindPort(L"Quillnet39100"), nullptr);
    EXPECT_TRUE(core.SnapshotDevices().empty());
    EXPECT_TRUE(core.Store().ListDevices().empty());
    ASSERT_EQ(core.ListJobs(10).size(), 1u);
    EXPECT_EQ(core.ListJobs(10)[0].sn, "OPSOFF1");
    EXPECT_TRUE(Logged("已移除设备 sn=OPSOFF1"));

    EXPECT_FALSE(core.RemoveDevice("OPSOFF1"));
}

TEST_F(DeviceOpsTest, RepairOfUnknownOrUnboundDevices) {
    Core& core = StartCore();
    Add("OPSOFF1");
    struct Case { std::string sn, code, message; };
    for (const Case& c : std::vector<Case>{{"NOSUCH", "NO_DEVICE", "设备不存在"},
                                           {"OPSOFF1", "NO_PRINTER", "尚未绑定打印机"}}) {
        HealthReport r = core.RepairDevice(c.sn);
        ASSERT_EQ(r.issues.size(), 1u) << c.sn;
        EXPECT_EQ(r.issues[0].code, c.code);
        EXPECT_EQ(r.issues[0].message, c.message);
    }
}

// 1B 40, 1B 61 01, 1D 21 11, two lines, the stamp, three feeds, the cut.
std::string ExpectedPage(const std::string& stamp) {
    const unsigned char head[] = {0x1B, 0x40, 0x1B, 0x61, 0x01, 0x1D, 0x21, 0x11};
    const unsigned char normal[] = {0x1D, 0x21, 0x00};
    const unsigned char tail[] = {0x0A, 0x0A, 0x0A, 0x1D, 0x56, 0x42, 0x00};
    std::string page(reinterpret_cast<const char*>(head), sizeof(head));
    page += "Nerova Cloud Print\n";
    page.append(reinterpret_cast<const char*>(normal), sizeof(normal));
    page += "PC Assistant Connectivity Test\n";
    page += stamp;
    page.append(reinterpret_cast<const char*>(tail), sizeof(tail));
    return page;
}

TEST_F(DeviceOpsTest, TestPageReachesALanDeviceByteForByte) {
    Core& core = StartCore();
    Add("OPSLAN1");
    EXPECT_TRUE(core.TestPrint("OPSLAN1"));

    std::vector<test::SimJob> got = sim_.WaitJobs(1, 10000, "OPSLAN1");
    ASSERT_EQ(got.size(), 1u);
    std::string bytes;
    ASSERT_TRUE(sim_.JobBytes(got[0], &bytes));
    const size_t stampAt = ExpectedPage("").size() - 7;
    ASSERT_GT(bytes.size(), stampAt + 19);
    const std::string stamp = bytes.substr(stampAt, 19);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"))) << stamp;
    EXPECT_EQ(bytes, ExpectedPage(stamp));

    std::vector<JobRecord> jobs = core.ListJobs(10);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].state, kJobCompleted);
    std::wstring path = Utf8ToWide(jobs[0].path);
    std::vector<std::wstring> pages = FilesIn(DataDir(), L"test_*.bin");
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(path, PathJoin(DataDir(), pages[0]));
    std::string onDisk;
    ASSERT_TRUE(ReadFileBytes(path, onDisk));
    EXPECT_EQ(onDisk, bytes);
    EXPECT_TRUE(cloud_.RequestsTo("/v1/files").empty());
}

TEST_F(DeviceOpsTest, TestPageThatMissesItsFirstAttemptStaysQueued) {
    Core& core = StartCore();
    cloud_.Rules(R"([{"path":"/v1/files","status":500,"times":0}])");
    Add("OPSOFF1");
    EXPECT_FALSE(core.TestPrint("OPSOFF1"));
    std::vector<JobRecord> jobs = core.ListJobs(10);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].state, kJobPending);
    EXPECT_EQ(jobs[0].retries, 1);
}

// The sender is still streaming when the device goes: the removal must not
// wait on a connection that waits for the device lock. With no device to own
// the data, the sender is refused and keeps its job, so no file stays behind.
TEST_F(DeviceOpsTest, RemovalDuringArrivingPrintDataNeitherDeadlocksNorLosesTheFile) {
    Core& core = StartCore();
    Add("OPSOFF1");
    const int32_t port = core.FindDevice("OPSOFF1").port;
    std::atomic<bool> connected{false};
    std::thread sender([&] {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return;
        connected = true;
        for (int i = 0; i < 10; ++i) {
            send(s.get(), "0123456789", 10, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        shutdown(s.get(), SD_SEND);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    std::future<bool> removed = std::async(std::launch::async, [&] { return core.RemoveDevice("OPSOFF1"); });
    ASSERT_EQ(removed.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "the removal hangs";
    EXPECT_TRUE(removed.get());
    sender.join();
    ASSERT_TRUE(connected.load());

    EXPECT_TRUE(Logged("收到数据但找不到对应设备，端口 " + std::to_string(port)));
    EXPECT_TRUE(core.ListJobs(10).empty());
    EXPECT_TRUE(FilesIn(DataDir(), L"*.dat").empty()) << "a refused job left its spool file";
}

TEST_F(DeviceOpsTest, DocumentSubmissionIsRefusedForAnyPath) {
    Core& core = StartCore();
    std::wstring existing = PathJoin(DataDir(), L"doc.pdf");
    ASSERT_TRUE(WriteFileBytes(existing, "%PDF-1.4"));
    for (const std::wstring& path : {existing, std::wstring(L"C:\\missing\\x.png"), std::wstring()}) {
        CloudResult r = core.SubmitDocument(path);
        EXPECT_EQ(r.code, -200);
        EXPECT_EQ(r.message,
                  "当前版本不支持直接打印 PDF/图片：服务器对热敏/标签只做原样下发，不渲染文档。"
                  "请在应用中用打印机驱动打印，或等待服务器支持文档渲染。");
        EXPECT_FALSE(r.timedOut);
    }
    EXPECT_TRUE(core.ListJobs(10).empty());
}

std::string ReadReport(const std::string& path) {
    std::string text;
    EXPECT_TRUE(ReadFileBytes(Utf8ToWide(path), text)) << path;
    return text;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += l;
    return all;
}

TEST_F(DeviceOpsTest, ReportWithoutDevicesHasTheSystemLinesAndTheLast200LogLines) {
    Core& core = StartCore();
    elevated_ = false;
    for (int i = 0; i < 250; ++i) LogInfo("filler " + std::to_string(i));
    const std::string log = Joined(Logger::Instance().RecentLines(200));
    const std::string path = core.BuildDiagnostics();
    const std::string text = ReadReport(path);

    const std::string head = "# Quillstone 诊断报告 ";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text.substr(0, 80);
    const size_t titleEnd = text.find('\n');
    ASSERT_NE(titleEnd, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(head.size(), titleEnd - head.size()),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")));
    const std::string expected = "OS: " + WideToUtf8(OsVersionText()) + "\nElevated: no\n\n" +
                                 "\n--- 最近日志 ---\n" + log;
    EXPECT_EQ(text.substr(titleEnd + 1), expected);
    EXPECT_EQ(log.find("filler 49\n"), std::string::npos);
    EXPECT_EQ(log.compare(log.find("[INF] ") + 6, 10, "filler 50\n"), 0) << "not the last 200";
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_TRUE(Logged("诊断包已生成：" + path));

    const std::string again = core.BuildDiagnostics();
    EXPECT_NE(again, path);
    EXPECT_TRUE(FileExists(Utf8ToWide(path)));
    EXPECT_TRUE(FileExists(Utf8ToWide(again)));
    const std::wstring folder = Utf8ToWide(path.substr(0, path.rfind('\\')));
    EXPECT_EQ(folder.rfind(PathJoin(DataDir(), L"diag_"), 0), 0u) << path;
    EXPECT_EQ(Utf8ToWide(path), PathJoin(folder, L"report.txt"));
}

TEST_F(DeviceOpsTest, ReportListsEveryDeviceAndTheIssuesOfBoundQueues) {
    Core& core = StartCore();
    Add("OPSOFF1");
    Add("OPSOFF2");
    Add("OPSOFF3");
    AddQueue(L"POS-B", L"USB001");
    AddQueue(L"POS-C", L"USB002");
    std::string error;
    core.BindPrinter("OPSOFF2", "POS-B", error);
    ASSERT_EQ(error, "");
    core.BindPrinter("OPSOFF3", "POS-C", error);
    ASSERT_EQ(error, "");
    printers_.FindQueue(L"POS-B")->attributes |= kAttrEnableBidi;
    printers_.ClearCalls();

    const std::string text = ReadReport(core.BuildDiagnostics());
    EXPECT_EQ(printers_.CountCalls("set2"), 0) << "the report repaired something";
    EXPECT_EQ(printers_.CountCalls("wmi"), 0) << "the report repaired something";
    EXPECT_TRUE(text.find("Elevated: yes\n\n- device") != std::string::npos);
    std::string devices;
    for (const std::string sn : {"OPSOFF1", "OPSOFF2", "OPSOFF3"}) {
        DeviceRecord d = core.FindDevice(sn);
        devices += "- device sn=" + sn + " port=" + std::to_string(d.port) + " printer=" +
                   d.printer_driver + " state=" + d.network + "\n";
        if (sn == "OPSOFF2") devices += "    ! BIDI_ENABLED 已开启双向支持\n";
    }
    EXPECT_NE(core.FindDevice("OPSOFF1").network, "");
    const size_t at = text.find("- device");
    ASSERT_NE(at, std::string::npos);
    const std::string logHead = "\n--- 最近日志 ---\n";
    EXPECT_EQ(text.substr(at, devices.size() + logHead.size()), devices + logHead);
    EXPECT_NE(text.find("- device sn=OPSOFF1 port=39100 printer= state="), std::string::npos);
}

// The service's data root is for SYSTEM and Administrators only; the report
// folder lets local users read what they asked for, and nothing more.
TEST(ReportFolderSecurity, UsersReadAdminsAndSystemOwnAndNothingElse) {
    OwnedSecurityDescriptor sd = ReportFolderDescriptor();
    ASSERT_TRUE(sd);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the admins-only entries of the root would flow in";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);

    struct Want { WELL_KNOWN_SID_TYPE sid; bool full; bool seen; };
    std::vector<Want> wants = {{WinLocalSystemSid, true, false},
                               {WinBuiltinAdministratorsSid, true, false},
                               {WinBuiltinUsersSid, false, false}};
    ASSERT_EQ(dacl->AceCount, wants.size());
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* header = static_cast<ACE_HEADER*>(ace);
        ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "the report would not inherit it";
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        bool matched = false;
        for (Want& w : wants) {
            BYTE sid[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof(sid);
            ASSERT_TRUE(CreateWellKnownSid(w.sid, nullptr, sid, &size));
            if (!EqualSid(&allowed->SidStart, sid)) continue;
            matched = w.seen = true;
            if (w.full) {
                EXPECT_EQ(allowed->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
            } else {
                EXPECT_EQ(allowed->Mask & FILE_GENERIC_READ, static_cast<DWORD>(FILE_GENERIC_READ));
                EXPECT_EQ(allowed->Mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER),
                          0u) << "users may change the report";
            }
        }
        EXPECT_TRUE(matched) << "an entry for an unexpected account";
    }
    for (const Want& w : wants) EXPECT_TRUE(w.seen) << w.sid;
}

// In service mode the folder gets that descriptor (Wine keeps no file DACLs
// on this file system, so the outcome is read from the log, not the disk).
TEST_F(DeviceOpsTest, ServiceReportFolderIsOpenedToUsersWithoutAFailure) {
    Core& core = StartCore(true);
    const std::string path = core.BuildDiagnostics();
    EXPECT_TRUE(FileExists(Utf8ToWide(path)));
    EXPECT_FALSE(Logged("诊断包目录权限设置失败"));
}

}  // namespace
}  // namespace qs
