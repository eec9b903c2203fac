// The installed quillstone.exe service under stress: peer faults, a hard
// crash in the middle of deliveries, load on the ports and the pipe, bad
// input of every kind, and a spool folder that cannot be written. After
// each scenario one invariant is checked: every print job received on a
// loopback port is exactly one job row, and every completed job reached its
// device (over the LAN or through the cloud) exactly once, a crash between
// delivery and its record aside. Each scenario prints its report line.
//
// The scenarios share one installed service and run in the order below;
// the crashed deliveries wait out their 60-second leases (the product's own
// timing) while the load, bad-input and disk scenarios run.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/ids.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "host/exe_runner.h"
#include "host/service_control.h"
#include "jobs/device_sim_client.h"
#include "reliability/ledger.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace qs {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

// The simulator's devices (CMakeLists names them), by scenario.
const std::set<std::string> kFaultDevices = {"RFC1", "RFR1", "RFB1", "RFX1"};
const std::set<std::string> kCrashDevices = {"RCL1", "RCC1"};
const std::set<std::string> kLoadDevices = {"RLD1", "RLD2", "RLD3", "RLD4"};
const std::set<std::string> kBadDevices = {"RBI1"};
const std::set<std::string> kDiskDevices = {"RDK1"};
// The named fault points: RKS1 and RKR1 at capture, RKL1 over the LAN, RKC1
// through the cloud.
const std::set<std::string> kKillDevices = {"RKS1", "RKR1", "RKL1", "RKC1"};
// Off the LAN from the start: silent to probes and refusing port 9100.
const std::set<std::string> kCloudOnly = {"RFC1", "RCC1", "RKC1", "RCN1"};

int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::wstring ServiceDataRoot() {
    PWSTR raw = nullptr;
    std::wstring known;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &raw)) && raw) known = raw;
    CoTaskMemFree(raw);
    return DataRootFor(known, ExePath());
}

sockaddr_in Loopback(uint16_t port, uint32_t host = INADDR_LOOPBACK) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(host);
    return a;
}

UniqueSocket ConnectPort(int port) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(static_cast<uint16_t>(port));
    if (!s || connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return UniqueSocket();
    return s;
}

// Sends all of it, or fails once the listener has taken nothing for 20 s:
// a listener that stops reading without closing must fail the scenario, not
// hold the suite until its time-out. The socket is blocking again after.
bool SendAll(SOCKET s, const char* data, size_t size) {
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    bool sent = true;
    while (size > 0 && sent) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval stall{20, 0};
        if (select(0, nullptr, &writable, nullptr, &stall) != 1) {
            sent = false;
            break;
        }
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        const int n = send(s, data, chunk, 0);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            sent = false;
        }
    }
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return sent;
}

// How the listener ended a connection after the sender finished: 1 closed
// in order (the job is taken), 0 reset or failed, -1 no end within the time.
int AwaitClose(SOCKET s, int timeoutMs) {
    const DWORD t = static_cast<DWORD>(timeoutMs);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof(t));
    char buf[256];
    for (;;) {
        const int n = recv(s, buf, sizeof(buf), 0);
        if (n == 0) return 1;
        if (n < 0) return WSAGetLastError() == WSAETIMEDOUT ? -1 : 0;
    }
}

// One whole print job over one connection; accepted when the listener took
// all of it and closed in order.
SentJob SendJob(const std::string& sn, int port, std::string bytes) {
    SentJob job{sn, std::move(bytes), false};
    UniqueSocket s = ConnectPort(port);
    if (!s) return job;
    if (!SendAll(s.get(), job.bytes.data(), job.bytes.size())) return job;
    shutdown(s.get(), SD_SEND);
    job.accepted = AwaitClose(s.get(), 20000) == 1;
    return job;
}

// How the listener answered a sender that keeps its own side open, once the
// listener's idle time has ended the job: 1 closed in order, 0 reset, -1 no
// answer within the time. Wine reports a reset that comes after the last
// byte as an end of data, so an end is checked with one more byte: after an
// orderly close it can still be sent, after a reset it cannot.
int PeerAnswer(SOCKET s, int timeoutMs) {
    const DWORD t = static_cast<DWORD>(timeoutMs);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof(t));
    char byte = 0;
    const int n = recv(s, &byte, 1, 0);
    if (n < 0) return WSAGetLastError() == WSAETIMEDOUT ? -1 : 0;
    if (n > 0) return 0;  // the listener never sends: a broken answer
    return send(s, &byte, 1, 0) == 1 ? 1 : 0;
}

// One whole print job, the sender then waiting for the listener's answer
// without ending its side; accepted when the answer is the orderly close.
SentJob SendJobAwaitingAnswer(const std::string& sn, int port, std::string bytes) {
    SentJob job{sn, std::move(bytes), false};
    UniqueSocket s = ConnectPort(port);
    if (!s) return job;
    if (!SendAll(s.get(), job.bytes.data(), job.bytes.size())) return job;
    job.accepted = PeerAnswer(s.get(), 20000) == 1;
    return job;
}

// Print data that no other job of the run shares (jobs are keyed by content).
std::string UniqueReceipt(const std::string& tag, size_t size) {
    std::string text = "\x1b@" + tag + " " + NewId() + "\n";
    std::mt19937 rng(static_cast<uint32_t>(std::hash<std::string>()(text)));
    while (text.size() < size) text.push_back(static_cast<char>(0x20 + rng() % 90));
    return text;
}

std::string RandomBytes(std::mt19937& rng, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    return bytes;
}

// The folder_lock peer: the service's spool folder unwritable, or writable.
std::string FolderLock(const std::string& command) {
    const uint16_t port = static_cast<uint16_t>(std::atoi(EnvOr("FOLDER_LOCK_PORT", "0").c_str()));
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(port);
    if (!s || connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return "error unreachable";
    const std::string line = command + "\n";
    const DWORD limit = 40000;  // the peer gives chattr 20 s
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
    send(s.get(), line.data(), static_cast<int>(line.size()), 0);
    std::string reply;
    char buf[256];
    int n;
    while (reply.find('\n') == std::string::npos && (n = recv(s.get(), buf, sizeof(buf), 0)) > 0)
        reply.append(buf, static_cast<size_t>(n));
    return reply.substr(0, reply.find('\n'));
}

std::vector<std::wstring> FolderFiles(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(PathJoin(dir, L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, cJSON*> ByMember(cJSON* array, const char* name) {
    std::map<std::string, cJSON*> out;
    cJSON* item = nullptr;
    cJSON_ArrayForEach(item, array) {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(item, name);
        if (cJSON_IsString(v)) out[v->valuestring] = item;
    }
    return out;
}

// Latencies of pipe requests, in ms.
struct Latencies {
    std::mutex mutex;
    std::vector<int64_t> ms;
    size_t failures = 0;
    void Add(int64_t v, bool ok) {
        std::lock_guard<std::mutex> lock(mutex);
        ms.push_back(v);
        if (!ok) ++failures;
    }
    int64_t Percentile(double p) {
        std::lock_guard<std::mutex> lock(mutex);
        if (ms.empty()) return -1;
        std::vector<int64_t> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
    }
};

// What the suite shares: the installed service, the peers, the ledger.
struct Suite {
    DeviceSim sim;
    FakeCloudPeer cloud;
    std::wstring root;
    std::unique_ptr<ServiceDatabase> db;
    std::unique_ptr<ServiceLog> log;
    std::unique_ptr<WorkingSetSampler> ws;
    SentLog sent;
    int64_t baseJobId = 0;
    std::map<std::string, int> ports;  // sn -> loopback port
    DWORD pid = 0;                     // the service process after the crash
    bool crashed = false;
    Clock::time_point crashAt;
    std::vector<ScenarioReport> reports;
    std::vector<std::string> killRows;  // the fault point table
};
Suite* g_suite = nullptr;

class ReliabilityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        g_suite = new Suite();
        Suite& s = *g_suite;
        if (!s.sim.available() || !s.cloud.Available()) return;
        FolderLock("unlock");
        if (RunExe(L"/install /quiet") != 0) return;
        if (!WaitFor([] { return PingAnswers(); }, 20000)) return;
        s.root = ServiceDataRoot();
        s.db = std::make_unique<ServiceDatabase>(PathJoin(s.root, L"qnconfig.db"));
        s.log = std::make_unique<ServiceLog>(PathJoin(s.root, L"logs"));

        // Start from an empty device list whatever an earlier run left.
        Reply list(Request("{\"cmd\":\"list\"}"));
        for (const auto& d : ByMember(list.data(), "sn"))
            Request("{\"cmd\":\"remove\",\"sn\":\"" + d.first + "\"}");
        s.log->Mark();
        s.baseJobId = s.db->MaxJobId();

        // An add waits for the cloud's check, as long as the tray waits.
        for (const SimDevice& d : s.sim.devices()) {
            const std::string reply = Request(
                "{\"cmd\":\"add\",\"sn\":\"" + d.sn + "\",\"crc\":\"246810\",\"name\":\"" + d.sn + "\"}", 45000);
            if (reply.find("\"ok\":true") == std::string::npos)
                std::printf("setup: add %s answered %s\n", d.sn.c_str(), reply.c_str());
        }
        // Every device with a port, and every LAN device found by discovery.
        const bool listed = WaitFor([&s] {
            Reply now(Request("{\"cmd\":\"list\"}"));
            auto by = ByMember(now.data(), "sn");
            if (by.size() != s.sim.devices().size()) return false;
            for (const auto& d : by) {
                s.ports[d.first] = cJSON_GetObjectItemCaseSensitive(d.second, "port")->valueint;
                const bool lan = std::string(cJSON_GetObjectItemCaseSensitive(d.second, "network")->valuestring) == "Lan";
                if (!kCloudOnly.count(d.first) && !lan) return false;
            }
            return true;
        }, 30000);
        if (!listed) std::printf("setup: the device list did not settle: %s\n", Request("{\"cmd\":\"list\"}").c_str());
        // A port held by anything else would take the connections meant for
        // the service; say so before a scenario stalls on it.
        for (const auto& d : s.ports)
            if (s.log->Count("监听已启动：127.0.0.1:" + std::to_string(d.second)) == 0)
                std::printf("setup: the service did not start listening on %d for %s\n", d.second, d.first.c_str());
        std::fflush(stdout);
        s.ws = std::make_unique<WorkingSetSampler>();
        s.pid = ServiceStatus().dwProcessId;
    }

    static void TearDownTestSuite() {
        if (g_suite) {
            std::printf("\n| scenario | jobs sent | completed | pending/aborted | lost | duplicates | "
                        "redelivered after crash | partial LAN then cloud | peak working set |\n");
            for (const ScenarioReport& r : g_suite->reports)
                std::printf("| %s | %zu | %zu | %zu | %zu | %zu | %zu | %zu | %.1f MiB |\n", r.name.c_str(),
                            r.sent, r.completed, r.unfinished.size(), r.lost, r.duplicates,
                            r.redeliveredAfterCrash, r.partialThenCloud, r.peakWsMiB);
            std::fflush(stdout);
        }
        if (g_suite && !g_suite->killRows.empty()) {
            std::printf("\n| scenario | fault point | sent | acknowledged | rows | delivered | lost | "
                        "duplicates outside the crash window | redeliveries inside it |\n");
            for (const std::string& row : g_suite->killRows) std::printf("%s\n", row.c_str());
            std::fflush(stdout);
        }
        FolderLock("unlock");
        RunExe(L"/uninstall /quiet");
        delete g_suite;
        g_suite = nullptr;
        WSACleanup();
    }

    void SetUp() override {
        ASSERT_TRUE(s().sim.available());
        ASSERT_TRUE(s().cloud.Available());
        ASSERT_TRUE(s().db && s().ws) << "the service did not come up";
        ASSERT_EQ(s().ports.size(), s().sim.devices().size()) << "not every device was added";
    }

    static Suite& s() { return *g_suite; }

    static int PortOf(const std::string& sn) { return s().ports.at(sn); }

    // Rows of these devices, all of them final or not, in the given time.
    static bool WaitSettled(const std::set<std::string>& sns, size_t rows, int timeoutMs) {
        return WaitFor([&] {
            size_t done = 0;
            for (const JobRow& r : s().db->Jobs(s().baseJobId))
                if (sns.count(r.sn) && r.state == 2) ++done;
            return done >= rows;
        }, timeoutMs, 250);
    }

    static ScenarioReport Check(const std::string& name, const std::set<std::string>& sns,
                                const std::set<std::string>& crashed = {}) {
        // A job is recorded as delivered once its last byte is sent, a
        // moment before the device has stored it: a missing delivery gets
        // a few seconds to appear before it counts.
        ScenarioReport r;
        for (int round = 0; round < 20; ++round) {
            r = Evaluate(name, sns, s().sent, *s().db, s().baseJobId, *s().log, s().sim, s().cloud, crashed);
            if (r.problems.empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        r.peakWsMiB = s().ws->Peak();
        r.Print();
        s().reports.push_back(r);
        EXPECT_EQ(r.lost, 0u) << name;
        EXPECT_EQ(r.duplicates, 0u) << name;
        EXPECT_EQ(r.unreceivedRows, 0u) << name;
        EXPECT_TRUE(r.problems.empty()) << name << ": " << r.problems.front();
        return r;
    }
};

// The fault point the next service process stops at; empty disarms.
void ArmFaultPoint(const std::string& name) {
    const std::wstring file = PathJoin(g_suite->root, L"faultpoint");
    if (name.empty()) {
        RemovePath(file);
    } else {
        WriteFileBytes(file, name);
    }
}

bool ProcessEnds(DWORD pid, int timeoutMs) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) return true;  // gone already
    return WaitForSingleObject(process.get(), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

// Brings the service back after its process died: started again when the
// service manager shows it stopped, installed again where it still shows it
// running (Wine may).
bool RestartAfterCrash(DWORD oldPid) {
    // Wine's manager goes on showing a dead service as running: a short look.
    WaitFor([] { return ServiceStatus().dwCurrentState == SERVICE_STOPPED; }, 1000, 100);
    if (ServiceStatus().dwCurrentState == SERVICE_STOPPED) {
        if (!ControlServiceState(0, SERVICE_RUNNING)) return false;
    } else if (RunExe(L"/install /quiet") != 0) {
        return false;
    }
    const bool up = WaitFor([&] {
        const SERVICE_STATUS_PROCESS st = ServiceStatus();
        return st.dwCurrentState == SERVICE_RUNNING && st.dwProcessId != 0 && st.dwProcessId != oldPid;
    }, 30000, 250) && WaitFor([] { return PingAnswers(); }, 20000);
    g_suite->pid = ServiceStatus().dwProcessId;
    return up;
}

bool StopAndStartService() {
    if (!ControlServiceState(SERVICE_CONTROL_STOP, SERVICE_STOPPED)) return false;
    if (!ControlServiceState(0, SERVICE_RUNNING)) return false;
    const bool up = WaitFor([] { return PingAnswers(); }, 20000);
    g_suite->pid = ServiceStatus().dwProcessId;
    return up;
}

// One send into an armed fault point and what followed, from both sides.
struct KillCase {
    const char* point;
    const char* sn;
    // The crash falls after the device or the sender may already hold the
    // job: up to this many more deliveries of the same bytes are the crash
    // window's (0: none may happen).
    int windowRepeats;
};

struct KillOutcome {
    KillCase c{};
    std::string bytes;
    bool died = false;
    int sends = 0;
    int acknowledged = 0;
    std::string firstAnswer;  // "orderly close" or "reset"
};
std::vector<KillOutcome> g_kills;
// Cloud submissions accepted before each reset of the fake, per job id.
std::map<int64_t, int> g_cloudEarlier;

void ResetCloud() {
    for (const auto& e : AcceptedSubmissions(g_suite->cloud)) g_cloudEarlier[e.first] += e.second;
    g_suite->cloud.Reset();
}

// Compares what the sender saw with what the queue and the devices hold once
// every row of the point's device has settled; one table row per point.
void CheckKill(const KillOutcome& o) {
    const std::string print = Fingerprint(o.bytes);
    size_t rows = 0, completed = 0;
    int delivered = 0;
    const std::map<int64_t, int> cloudAccepted = AcceptedSubmissions(g_suite->cloud);
    for (const JobRow& row : g_suite->db->Jobs(g_suite->baseJobId)) {
        if (row.sn != o.c.sn) continue;
        ++rows;
        if (row.state == 2) ++completed;
        auto c = cloudAccepted.find(row.id);
        if (c != cloudAccepted.end()) delivered += c->second;
        auto e = g_cloudEarlier.find(row.id);
        if (e != g_cloudEarlier.end()) delivered += e->second;
    }
    for (const SimJob& job : g_suite->sim.WaitJobs(0, 0, o.c.sn)) {
        std::string bytes;
        if (job.complete && g_suite->sim.JobBytes(job, &bytes) && Fingerprint(bytes) == print) ++delivered;
    }
    const int lost = (o.acknowledged > 0 && delivered == 0) ? 1 : 0;
    const int extra = delivered > 1 ? delivered - 1 : 0;
    const int inside = o.c.windowRepeats > 0 ? extra : 0;
    const int outside = o.c.windowRepeats > 0 ? 0 : extra;
    char line[512];
    std::snprintf(line, sizeof(line), "| kill at fault point | %s | %d | %d (first: %s) | %zu | %d | %d | %d | %d |",
                  o.c.point, o.sends, o.acknowledged, o.firstAnswer.c_str(), rows, delivered, lost,
                  outside, inside);
    std::printf("%s\n", line);
    std::fflush(stdout);
    g_suite->killRows.push_back(line);
    EXPECT_TRUE(o.died) << o.c.point << ": the service did not stop at the point";
    EXPECT_EQ(completed, rows) << o.c.point;
    EXPECT_EQ(lost, 0) << o.c.point;
    EXPECT_EQ(outside, 0) << o.c.point << ": delivered more than once outside the crash window";
    EXPECT_LE(inside, o.c.windowRepeats) << o.c.point;
}

bool KillDevicesSettled(const std::set<std::string>& sns, int timeoutMs) {
    return WaitFor([&] {
        for (const JobRow& r : g_suite->db->Jobs(g_suite->baseJobId))
            if (sns.count(r.sn) && r.state != 2) return false;
        return true;
    }, timeoutMs, 250);
}


// The service is killed at each named fault point in turn: the device took
// every byte but the outcome is not recorded; inside a cloud status poll;
// the spool file on disk but no job row; the row committed but the sender
// not answered. Each restart arms the next point; the last one disarms, and
// a sender that saw a reset sends its job again, as a spooler does. Before
// the row the sender must see a reset (an orderly close must mean a row);
// the committed row whose sender saw a reset is delivered as well as the
// resent copy, the one repeat that window allows, as the LAN point's
// redelivery is. Run first so the crashed attempts' leases lapse while the
// other scenarios run; checked at the end.
TEST_F(ReliabilityTest, KilledAtEachFaultPoint) {
    // A kill inside the cloud poll repeats the job today: the cloud job id
    // is not stored before its poll, so every later attempt whose poll ends
    // unconfirmed submits the job again, up to the attempt limit. Counted
    // inside the window (and printed) until the submission is recorded.
    const KillCase cases[] = {{"lan-sent-unrecorded", "RKL1", 1},
                              {"cloud-poll", "RKC1", 8},
                              {"spool-flushed", "RKS1", 0},
                              {"row-committed", "RKR1", 1}};
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    ArmFaultPoint(cases[0].point);
    ASSERT_TRUE(StopAndStartService());
    for (size_t i = 0; i < count; ++i) {
        KillOutcome o;
        o.c = cases[i];
        const DWORD pid = s().pid;
        o.bytes = UniqueReceipt(std::string("kill ") + o.c.point, 6000);
        SentJob first = SendJobAwaitingAnswer(o.c.sn, PortOf(o.c.sn), o.bytes);
        ++o.sends;
        o.acknowledged += first.accepted ? 1 : 0;
        o.firstAnswer = first.accepted ? "orderly close" : "reset";
        o.died = ProcessEnds(pid, 15000);
        if (!o.died) TerminateServiceProcess();  // the point was never reached
        ArmFaultPoint(i + 1 < count ? cases[i + 1].point : "");
        EXPECT_TRUE(RestartAfterCrash(pid)) << o.c.point;
        std::printf("kill at %s: sender saw %s, process %s\n", o.c.point, o.firstAnswer.c_str(),
                    o.died ? "died there" : "did NOT die there");
        std::fflush(stdout);
        g_kills.push_back(o);
    }
    for (KillOutcome& o : g_kills) {
        if (o.acknowledged > 0) continue;
        SentJob again = SendJobAwaitingAnswer(o.c.sn, PortOf(o.c.sn), o.bytes);
        ++o.sends;
        o.acknowledged += again.accepted ? 1 : 0;
        EXPECT_TRUE(again.accepted) << o.c.point << ": the resent job was not taken";
    }
    EXPECT_EQ(g_kills[2].firstAnswer, "reset") << "acknowledged before the job row existed";
    EXPECT_EQ(g_kills[3].firstAnswer, "reset") << "answered before the process reached the answer";
    EXPECT_EQ(g_kills[0].firstAnswer, "orderly close") << "a stored job was not acknowledged";
    EXPECT_EQ(g_kills[1].firstAnswer, "orderly close") << "a stored job was not acknowledged";
    // The spool file of the first point has, rightly, no row: the later
    // scenarios' one-row-per-received-file check starts after it.
    s().log->Mark();
}

// The cloud answering 500, 401, garbage, a cut body, nothing, and a stall
// past the request time-out, flapping with good answers; devices refusing,
// black-holing and resetting mid-receive, then recovering. Every job ends
// completed, none twice.
TEST_F(ReliabilityTest, PeerFaultsAreRetriedUntilEveryJobCompletesOnce) {
    s().ws->Reset();
    const auto begin = Clock::now();
    ResetCloud();
    // A pure delay passes the default answer through: the flapping.
    s().cloud.Rules(R"([
        {"method":"POST","path":"/v1/files","status":500,"body":{"error":{"code":500,"message":"busy"}}},
        {"method":"POST","path":"/v1/files","delay_ms":1},
        {"method":"POST","path":"/v1/files","status":401,"body":{"error":{"code":401,"message":"token invalid"}}},
        {"method":"POST","path":"/v1/files","raw":"{\"data\":{\"file_"},
        {"method":"POST","path":"/v1/files","delay_ms":1},
        {"method":"POST","path":"/v1/files","action":"cut_body"},
        {"method":"POST","path":"/v1/print-jobs","raw":"<html>gateway</html>"},
        {"method":"POST","path":"/v1/print-jobs","delay_ms":1},
        {"method":"POST","path":"/v1/print-jobs","action":"drop"},
        {"method":"POST","path":"/v1/print-jobs","status":503,"delay_ms":31000},
        {"method":"POST","path":"/v1/print-jobs","delay_ms":1},
        {"method":"POST","path":"/v1/print-jobs","status":500}
    ])");
    ASSERT_TRUE(s().sim.Set("RFR1", "tcp", "refuse"));
    ASSERT_TRUE(s().sim.Set("RFB1", "tcp", "blackhole"));
    ASSERT_TRUE(s().sim.Set("RFX1", "reset_after", "1024"));
    ASSERT_TRUE(s().sim.Set("RFX1", "tcp", "reset"));

    std::vector<std::thread> senders;
    for (const std::string& sn : kFaultDevices) {
        senders.emplace_back([sn] {
            for (int i = 0; i < 3; ++i) {
                // The resetting device gets jobs larger than the socket
                // buffers, so its reset reaches the sender while it sends.
                const size_t size = (sn == "RFX1" ? (8u << 20) : 6000u) + 500u * static_cast<size_t>(i);
                s().sent.Add(SendJob(sn, PortOf(sn), UniqueReceipt("fault " + sn, size)));
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            }
        });
    }
    for (std::thread& t : senders) t.join();
    // The devices recover while the cloud is still flapping.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    for (const char* sn : {"RFR1", "RFB1", "RFX1"}) ASSERT_TRUE(s().sim.Set(sn, "tcp", "accept"));

    EXPECT_TRUE(WaitSettled(kFaultDevices, 12, 180000)) << "fault jobs did not all complete";
    int retried = 0;
    for (const JobRow& r : s().db->Jobs(s().baseJobId))
        if (kFaultDevices.count(r.sn) && r.retries > 0) ++retried;
    std::printf("peer faults: %d of 12 jobs needed more than one attempt, %lld ms\n", retried,
                static_cast<long long>(ElapsedMs(begin)));
    ScenarioReport r = Check("peer faults", kFaultDevices);
    EXPECT_EQ(r.sent, 12u);
    EXPECT_EQ(r.completed, 12u);
    EXPECT_GT(retried, 0) << "no fault reached a job: the scenario proved nothing";
    ResetCloud();
}

// TerminateProcess while one job is being sent to a device that stopped
// reading and another is in its cloud status poll; the restarted service
// delivers both once their leases lapse (checked at the end of the suite).
TEST_F(ReliabilityTest, CrashDuringLanSendAndCloudPoll) {
    s().ws->Reset();
    ResetCloud();
    std::string pushing = "[";
    // "queued" keeps the status poll going for its 20 s.
    for (int i = 0; i < 200; ++i) pushing += std::string(i ? "," : "") + "\"queued\"";
    s().cloud.Config("{\"job_statuses\":" + pushing + "]}");
    ASSERT_TRUE(s().sim.Set("RCL1", "stall_after", "8192"));
    ASSERT_TRUE(s().sim.Set("RCL1", "tcp", "stall"));

    s().sent.Add(SendJob("RCL1", PortOf("RCL1"), UniqueReceipt("crash lan", 600000)));
    s().sent.Add(SendJob("RCC1", PortOf("RCC1"), UniqueReceipt("crash cloud", 3000)));

    // In flight: the device holds a stalled connection, the cloud has a
    // submission and is being polled for it.
    ASSERT_TRUE(WaitFor([] {
        std::string stats = s().sim.Request("{\"cmd\":\"stats\"}");
        Reply r(stats);
        cJSON* dev = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(r.root, "devices"), "RCL1");
        const cJSON* c = cJSON_GetObjectItemCaseSensitive(dev, "connections");
        if (!cJSON_IsNumber(c) || c->valueint < 1) return false;
        size_t polls = 0;
        for (const RecordedRequest& q : s().cloud.Requests())
            if (q.method == "GET" && q.path.rfind("/v1/print-jobs/", 0) == 0) ++polls;
        return polls >= 2;
    }, 20000, 200)) << "the deliveries were not both in flight";

    const DWORD oldPid = ServiceStatus().dwProcessId;
    ASSERT_TRUE(TerminateServiceProcess());
    s().crashed = true;
    s().crashAt = Clock::now();
    ASSERT_TRUE(s().sim.Set("RCL1", "tcp", "accept"));
    s().cloud.Config(R"({"job_statuses":["done"]})");

    // Windows' service manager notices the dead process and marks the
    // service stopped; then it is started again. Where the manager still
    // shows it running (Wine may), installing again replaces it.
    const bool stopped = WaitFor([] { return ServiceStatus().dwCurrentState == SERVICE_STOPPED; }, 5000, 100);
    const SERVICE_STATUS_PROCESS seen = ServiceStatus();
    std::printf("after the crash the service manager shows state %lu pid %lu\n",
                static_cast<unsigned long>(seen.dwCurrentState), static_cast<unsigned long>(seen.dwProcessId));
    if (stopped) {
        ASSERT_TRUE(ControlServiceState(0, SERVICE_RUNNING));
    } else {
        ASSERT_EQ(RunExe(L"/install /quiet"), 0);
    }
    ASSERT_TRUE(WaitFor([&] {
        const SERVICE_STATUS_PROCESS st = ServiceStatus();
        return st.dwCurrentState == SERVICE_RUNNING && st.dwProcessId != 0 && st.dwProcessId != oldPid;
    }, 30000, 250));
    ASSERT_TRUE(WaitFor([] { return PingAnswers(); }, 20000));
    s().pid = ServiceStatus().dwProcessId;
    std::printf("service restarted %lld ms after the crash\n", static_cast<long long>(ElapsedMs(s().crashAt)));
}

// Eight connections at once on each of four ports, a ninth turned away each
// round, while four pipe clients ask list, jobs, refresh and jobtip.
TEST_F(ReliabilityTest, LoadOnPortsAndPipeKeepsEveryJobAndFlatMemory) {
    s().ws->Reset();
    // The pipe's normal latency, before the load.
    const char* kCommands[] = {"list", "jobs", "refresh", "jobtip"};
    std::map<std::string, Latencies> idle, busy;
    for (int i = 0; i < 6; ++i) {
        for (const char* cmd : kCommands) {
            const auto t = Clock::now();
            const bool ok = Request(std::string("{\"cmd\":\"") + cmd + "\"}").find("\"ok\":true") != std::string::npos;
            idle[cmd].Add(ElapsedMs(t), ok);
        }
    }
    for (const char* cmd : kCommands) busy[cmd];
    const double wsStart = ServiceWorkingSetMiB();

    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&busy, &stop, &kCommands, c] {
            for (int i = 0; !stop.load(); ++i) {
                const std::string cmd = kCommands[(c + i) % 4];
                const auto t = Clock::now();
                const std::string reply = Request("{\"cmd\":\"" + cmd + "\"}", 10000);
                busy.at(cmd).Add(ElapsedMs(t), reply.find("\"ok\":true") != std::string::npos);
            }
        });
    }

    std::vector<std::string> turnedAway;
    size_t ninthClosed = 0;
    int rounds = 0;
    const auto begin = Clock::now();
    const int loadMs = Repetitions(25000, 6000);
    while (ElapsedMs(begin) < loadMs) {
        ++rounds;
        struct Open {
            std::string sn;
            std::string bytes;
            UniqueSocket s;
        };
        std::vector<Open> open;
        for (const std::string& sn : kLoadDevices) {
            for (int i = 0; i < 8; ++i) {
                Open o{sn, UniqueReceipt("load " + sn, 3000 + static_cast<size_t>(i) * 97), ConnectPort(PortOf(sn))};
                if (o.s) SendAll(o.s.get(), o.bytes.data(), o.bytes.size() / 2);
                open.push_back(std::move(o));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (const std::string& sn : kLoadDevices) {
            const std::string ninth = UniqueReceipt("ninth " + sn, 1500);
            turnedAway.push_back(sn + "|" + ninth);
            UniqueSocket n = ConnectPort(PortOf(sn));
            if (!n) continue;
            // Reset, never the orderly close a sender takes as "printed".
            const bool sent = SendAll(n.get(), ninth.data(), ninth.size());
            if (!sent || PeerAnswer(n.get(), 3000) == 0) ++ninthClosed;
        }
        // Every sender finishes before any waits for its answer: the answer
        // comes once the job row is committed, and a sender waiting on it
        // must not hold back the others' second halves past the idle time.
        std::vector<bool> finished;
        for (Open& o : open) {
            const bool sent = o.s && SendAll(o.s.get(), o.bytes.data() + o.bytes.size() / 2,
                                             o.bytes.size() - o.bytes.size() / 2);
            if (sent) shutdown(o.s.get(), SD_SEND);
            finished.push_back(sent);
        }
        for (size_t i = 0; i < open.size(); ++i) {
            SentJob job{open[i].sn, open[i].bytes, false};
            if (finished[i]) job.accepted = AwaitClose(open[i].s.get(), 10000) == 1;
            s().sent.Add(std::move(job));
        }
        // A connection counts against the cap until its delivery is
        // written: wait for the round to settle before the next one.
        if (!WaitSettled(kLoadDevices, static_cast<size_t>(rounds) * 32, 30000)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    stop = true;
    for (std::thread& t : clients) t.join();
    const double wsEnd = ServiceWorkingSetMiB();

    std::printf("load: %d rounds, %zu ninth connections reset by the listener of %zu\n", rounds,
                ninthClosed, turnedAway.size());
    std::printf("load: working set %.1f MiB at start, %.1f MiB at end\n", wsStart, wsEnd);
    for (const char* cmd : kCommands) {
        Latencies& a = idle[cmd];
        Latencies& b = busy[cmd];
        std::printf("load: pipe %-7s idle p50 %lld max %lld ms; under load %zu requests p50 %lld p95 %lld max %lld ms, %zu failed\n",
                    cmd, static_cast<long long>(a.Percentile(0.5)), static_cast<long long>(a.Percentile(1.0)),
                    b.ms.size(), static_cast<long long>(b.Percentile(0.5)),
                    static_cast<long long>(b.Percentile(0.95)), static_cast<long long>(b.Percentile(1.0)), b.failures);
        EXPECT_EQ(b.failures, 0u) << cmd;
        EXPECT_FALSE(b.ms.empty()) << cmd;
        // Its normal latency: load and the other clients may add queueing,
        // not seconds of waiting on the engine.
        EXPECT_LT(b.Percentile(0.95), 3 * a.Percentile(1.0) + 1000) << "the pipe slowed down under load: " << cmd;
    }
    ScenarioReport r = Check("load", kLoadDevices);
    EXPECT_EQ(r.sent, static_cast<size_t>(rounds) * 32);
    EXPECT_EQ(r.completed, r.sent);
    EXPECT_EQ(ninthClosed, turnedAway.size());
    // Never half-stored: no row and no device holds any of a ninth's bytes.
    for (const JobRow& row : s().db->Jobs(s().baseJobId)) {
        std::string bytes;
        if (!kLoadDevices.count(row.sn) || !ReadFileBytes(Utf8ToWide(row.path), bytes)) continue;
        EXPECT_EQ(bytes.find("ninth "), std::string::npos) << "a turned-away connection was stored: id=" << row.id;
    }
    for (const std::string& sn : kLoadDevices) {
        for (const SimJob& job : s().sim.WaitJobs(0, 0, sn)) {
            std::string bytes;
            ASSERT_TRUE(s().sim.JobBytes(job, &bytes));
            EXPECT_EQ(bytes.find("ninth "), std::string::npos) << "a turned-away connection was delivered";
        }
    }
    EXPECT_LT(wsEnd - wsStart, 24.0) << "the service grew under load";
}

// The service's discovery probe sockets, as the simulated devices saw them.
std::vector<uint16_t> ProbeSenderPorts() {
    std::vector<uint16_t> ports;
    Reply stats(g_suite->sim.Request("{\"cmd\":\"stats\"}"));
    cJSON* p = nullptr;
    cJSON_ArrayForEach(p, cJSON_GetObjectItemCaseSensitive(stats.root, "probe_sender_ports"))
        ports.push_back(static_cast<uint16_t>(p->valueint));
    return ports;
}

// Random, huge, truncated and foreign discovery datagrams and spoofed Pongs;
// fuzzed pipe requests; random print data from empty to exactly the cap.
TEST_F(ReliabilityTest, BadInputNeitherStopsTheServiceNorSpoilsItsDatabase) {
    s().ws->Reset();
    std::mt19937 rng(20261210u);
    const size_t devicesBefore = s().sim.devices().size();

    // Discovery: the service's probe sockets, as the devices saw them.
    const std::vector<uint16_t> probePorts = ProbeSenderPorts();
    ASSERT_FALSE(probePorts.empty());
    UniqueSocket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    sockaddr_in from = Loopback(0, 0x7f0000c8);  // 127.0.0.200, no device's address
    ASSERT_EQ(bind(udp.get(), reinterpret_cast<sockaddr*>(&from), sizeof(from)), 0);
    std::vector<std::string> datagrams;
    for (int i = 0; i < 150; ++i) datagrams.push_back(RandomBytes(rng, 1 + rng() % 1400));
    for (int i = 0; i < 4; ++i) datagrams.push_back(std::string(65000, static_cast<char>('{' + i)));
    for (int i = 0; i < 20; ++i) {
        std::string full = "{\"cmd\":\"Pong\",\"sn\":\"GHOST" + std::to_string(i) + "\",\"ip\":\"127.0.0.200\"}";
        datagrams.push_back(full.substr(0, 1 + rng() % (full.size() - 1)));
    }
    for (const char* cmd : {"Reboot", "Ping", "pong", "", "PONG"})
        datagrams.push_back(std::string("{\"cmd\":\"") + cmd + "\",\"sn\":\"RBI1\",\"ip\":\"127.0.0.200\"}");
    for (int i = 0; i < 60; ++i)
        datagrams.push_back("{\"cmd\":\"Pong\",\"sn\":\"GHOST" + std::to_string(i) + "\"}");
    datagrams.push_back("{\"cmd\":\"Pong\",\"sn\":123}");
    datagrams.push_back("{\"cmd\":[1,2],\"sn\":{}}");
    for (const std::string& d : datagrams) {
        for (uint16_t port : probePorts) {
            sockaddr_in to = Loopback(port);
            sendto(udp.get(), d.data(), static_cast<int>(d.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        }
    }

    // The pipe: broken requests of every kind, read-only commands only, so
    // the fuzz cannot remove the suite's devices.
    const int pipeFuzzRequests = Repetitions(2000, 300);
    size_t answered = 0, fuzzed = 0;
    const char* readOnly[] = {"list", "jobs", "jobtip", "ping", "config", "printers", "nosuch", "LIST", ""};
    for (int i = 0; i < pipeFuzzRequests; ++i) {
        std::string req;
        const std::string cmd = readOnly[rng() % 9];
        switch (i % 8) {
            case 0: req = RandomBytes(rng, rng() % 400); break;
            case 1: req = "{\"cmd\":\"" + cmd + "\""; break;
            case 2: req = "{\"cmd\":" + std::to_string(rng()) + "}"; break;
            case 3: req = "{\"cmd\":\"" + cmd + "\",\"id\":\"" + RandomBytes(rng, 20) + "\"}"; break;
            case 4: req = std::string(200 + rng() % 800, '[') ; break;
            case 5: req = "[\"cmd\",\"" + cmd + "\"]"; break;
            case 6: req = "{\"cmd\":\"" + cmd + "\",\"sn\":null,\"count\":-1e308}"; break;
            default: req = ""; break;
        }
        ++fuzzed;
        const std::string reply = Request(req, 5000);
        Reply r(reply);
        if (cJSON_IsObject(r.root) && cJSON_IsBool(cJSON_GetObjectItemCaseSensitive(r.root, "ok"))) ++answered;
        EXPECT_EQ(reply.find("处理异常"), std::string::npos) << "request " << i << " threw in the core";
    }
    // Over the 1 MiB request cap: refused without harm.
    Request("{\"cmd\":\"ping\",\"pad\":\"" + std::string(1100000, 'x') + "\"}", 5000);
    EXPECT_EQ(answered, fuzzed) << "some fuzzed request got no reply object";
    EXPECT_TRUE(PingAnswers());

    // Print data: random bytes, an empty connection, exactly the cap.
    const int port = PortOf("RBI1");
    {
        UniqueSocket empty = ConnectPort(port);
        ASSERT_TRUE(empty);
        shutdown(empty.get(), SD_SEND);
        EXPECT_EQ(AwaitClose(empty.get(), 5000), 1);
    }
    size_t expectRows = 0;
    for (size_t size : {static_cast<size_t>(1), static_cast<size_t>(777), static_cast<size_t>(65536),
                        static_cast<size_t>(65537), static_cast<size_t>(3u << 20)}) {
        std::string bytes = RandomBytes(rng, size);
        if (size > 40) bytes.replace(0, 33, NewId() + "|");  // unique, still binary
        s().sent.Add(SendJob("RBI1", port, bytes));
        ++expectRows;
    }
    {
        // 209715200 bytes exactly: stored whole, delivered whole.
        std::string big(static_cast<size_t>(209715200), '\0');
        for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(rng());
        big.replace(0, 33, NewId() + "|");
        const auto t = Clock::now();
        s().sent.Add(SendJob("RBI1", port, std::move(big)));
        ++expectRows;
        std::printf("bad input: 200 MiB at the cap taken in %lld ms\n", static_cast<long long>(ElapsedMs(t)));
    }
    {
        // One byte over the cap: refused whole, the sender sees a reset and
        // nothing of it is stored or printed.
        std::string over(static_cast<size_t>(209715201), '\0');
        for (size_t i = 0; i < over.size(); i += 4096) over[i] = static_cast<char>(rng());
        over.replace(0, 33, NewId() + "|");
        const size_t refusedBefore = s().log->Count("打印数据超过上限，拒收");
        SentJob job = SendJobAwaitingAnswer("RBI1", port, std::move(over));
        std::printf("bad input: 200 MiB + 1 byte %s\n", job.accepted ? "acknowledged" : "reset");
        EXPECT_FALSE(job.accepted) << "data over the cap was acknowledged";
        EXPECT_TRUE(WaitFor([&] { return s().log->Count("打印数据超过上限，拒收") > refusedBefore; }, 10000));
        s().sent.Add(job);
    }
    EXPECT_TRUE(WaitSettled(kBadDevices, expectRows, 120000));
    size_t rbiRows = 0;
    for (const JobRow& row : s().db->Jobs(s().baseJobId))
        if (row.sn == "RBI1") ++rbiRows;
    EXPECT_EQ(rbiRows, expectRows) << "a refused connection made a job";

    // Still the same process, still the same devices, no ghost from a Pong.
    EXPECT_EQ(ServiceStatus().dwProcessId, s().pid) << "the service restarted";
    Reply list(Request("{\"cmd\":\"list\"}"));
    auto by = ByMember(list.data(), "sn");
    EXPECT_EQ(by.size(), devicesBefore);
    for (const auto& d : by) EXPECT_EQ(d.first.rfind("GHOST", 0), std::string::npos);
    EXPECT_EQ(std::string(cJSON_GetObjectItemCaseSensitive(by["RBI1"], "lanIp")->valuestring),
              s().sim.AddressOf("RBI1"))
        << "a datagram moved the device's address";
    EXPECT_EQ(s().log->Count("异常"), 0u);
    EXPECT_EQ(s().db->IntegrityCheck(), "ok");
    ScenarioReport r = Check("bad input", kBadDevices);
    EXPECT_EQ(r.sent, expectRows);
    EXPECT_EQ(r.completed, expectRows);
}

// A well-formed reply naming a real device, sent from another loopback
// address (a spoofer on the LAN). A device that answers from a new address
// is followed, as a device that moved must be, so such a reply can redirect
// receipts: support must see it. One warning names the old and the new
// address; the real device's own answer moves it back, warned as well.
TEST_F(ReliabilityTest, SpoofedDiscoveryReplyIsWarnedWithBothAddresses) {
    const std::string real = s().sim.AddressOf("RBI1");
    const std::string spoof = "127.0.0.201";
    const std::vector<uint16_t> probePorts = ProbeSenderPorts();
    ASSERT_FALSE(probePorts.empty());
    const auto pongFrom = [&](const std::string& address) {
        uint32_t host = 0;
        inet_pton(AF_INET, address.c_str(), &host);
        UniqueSocket udp(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        sockaddr_in from = Loopback(0, ntohl(host));
        if (!udp || bind(udp.get(), reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) return false;
        const std::string pong = "{\"cmd\":\"Pong\",\"sn\":\"RBI1\",\"ip\":\"" + address + "\"}";
        for (uint16_t port : probePorts) {
            sockaddr_in to = Loopback(port);
            sendto(udp.get(), pong.data(), static_cast<int>(pong.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        }
        return true;
    };
    const std::vector<std::string> linesBefore = s().log->NewLines();
    const auto movesLogged = [&](const std::string& from, const std::string& to) {
        size_t count = 0;
        const std::vector<std::string> lines = s().log->NewLines();
        for (size_t i = linesBefore.size(); i < lines.size(); ++i) {
            const size_t a = lines[i].find(from), b = lines[i].find(to);
            if (lines[i].find("WRN") != std::string::npos && a != std::string::npos &&
                b != std::string::npos && a < b)
                ++count;
        }
        return count;
    };
    ASSERT_TRUE(pongFrom(spoof));
    EXPECT_TRUE(WaitFor([&] { return movesLogged(real, spoof) > 0; }, 5000))
        << "a reply naming RBI1 from " << spoof << " left no warning naming both addresses";
    ASSERT_TRUE(pongFrom(real));
    EXPECT_TRUE(WaitFor([&] { return movesLogged(spoof, real) > 0; }, 5000))
        << "the device's own answer did not move it back";
    EXPECT_EQ(movesLogged(real, spoof), 1u);
}

// The spool folder unwritable while data arrives: "落盘失败", the sender
// sees an error, no job, no partial file; the next job after the folder is
// writable again is stored and delivered.
TEST_F(ReliabilityTest, UnwritableSpoolFolderTurnsDataAwayAndRecovers) {
    s().ws->Reset();
    const std::wstring dataDir = PathJoin(s().root, L"data");
    const size_t failedBefore = s().log->Count("落盘失败");
    ASSERT_EQ(FolderLock("lock"), "ok locked");
    const std::vector<std::wstring> before = FolderFiles(dataDir);

    // Larger than the socket buffers: the listener's reset reaches the
    // sender while it still sends (Wine shows a reset that comes after the
    // last byte as an orderly close).
    const auto sentAt = Clock::now();
    SentJob refused = SendJob("RDK1", PortOf("RDK1"), UniqueReceipt("disk refused", 8u << 20));
    std::printf("disk: 8 MiB sent to the locked folder, %s after %lld ms\n",
                refused.accepted ? "accepted" : "turned away", static_cast<long long>(ElapsedMs(sentAt)));
    std::fflush(stdout);
    EXPECT_FALSE(refused.accepted) << "the sender was not told its data was not kept";
    s().sent.Add(refused);
    EXPECT_TRUE(WaitFor([&] { return s().log->Count("落盘失败") > failedBefore; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(FolderFiles(dataDir), before) << "a partial spool file was left";
    ASSERT_EQ(FolderLock("unlock"), "ok unlocked");

    for (const JobRow& row : s().db->Jobs(s().baseJobId)) EXPECT_NE(row.sn, "RDK1") << "a job was made";
    s().sent.Add(SendJob("RDK1", PortOf("RDK1"), UniqueReceipt("disk writable again", 5000)));
    EXPECT_TRUE(WaitSettled(kDiskDevices, 1, 30000));
    ScenarioReport r = Check("disk", kDiskDevices);
    EXPECT_EQ(r.sent, 1u);
    EXPECT_EQ(r.completed, 1u);
}

// The crashed deliveries: both complete after their leases lapse; the LAN
// one reached the device whole once, the cloud one may be submitted again
// (the crash fell between acceptance and its record).
TEST_F(ReliabilityTest, CrashedDeliveriesCompleteAfterTheirLeasesLapse) {
    ASSERT_TRUE(s().crashed) << "the crash scenario did not run";
    s().ws->Reset();
    EXPECT_TRUE(WaitSettled(kCrashDevices, 2, 120000 - static_cast<int>(std::min<int64_t>(ElapsedMs(s().crashAt), 60000))));
    std::printf("crash: both jobs completed %lld ms after the crash\n", static_cast<long long>(ElapsedMs(s().crashAt)));
    ScenarioReport r = Check("crash", kCrashDevices, {"RCC1"});
    EXPECT_EQ(r.sent, 2u);
    EXPECT_EQ(r.completed, 2u);
    EXPECT_EQ(s().db->IntegrityCheck(), "ok");
}

// The fault point kills of the first scenario, once every crashed attempt's
// lease has lapsed: per point, one table row from both sides.
TEST_F(ReliabilityTest, FaultPointKillsEndAsOneDeliveryEach) {
    ASSERT_EQ(g_kills.size(), 4u) << "the fault point scenario did not run";
    EXPECT_TRUE(KillDevicesSettled(kKillDevices, 90000)) << "a killed job did not complete";
    for (const KillOutcome& o : g_kills) CheckKill(o);
    EXPECT_EQ(s().db->IntegrityCheck(), "ok");
}

// A cancel while the job's cloud upload is still running: the upload ends,
// but the job stays canceled (state 4) and is never attempted again, though
// the cancel answered ok. Needs the sticky cancel of the delivery code.
TEST_F(ReliabilityTest, CancelDuringASlowCloudAttemptSticks) {
    ResetCloud();
    s().cloud.Config(R"({"job_statuses":["done"]})");
    s().cloud.Rules(R"([{"method":"POST","path":"/v1/files","delay_ms":6000,"times":1}])");
    const int64_t maxBefore = s().db->MaxJobId();
    SentJob job = SendJobAwaitingAnswer("RCN1", PortOf("RCN1"), UniqueReceipt("cancel", 4000));
    ASSERT_TRUE(job.accepted);
    s().sent.Add(job);
    int64_t id = 0;
    ASSERT_TRUE(WaitFor([&] {
        for (const JobRow& r : s().db->Jobs(maxBefore))
            if (r.sn == "RCN1") id = r.id;
        return id != 0 && !s().cloud.RequestsTo("/v1/files").empty();
    }, 10000, 100)) << "the upload did not start";
    const std::string reply = Request("{\"cmd\":\"cancel\",\"id\":" + std::to_string(id) + "}");
    EXPECT_NE(reply.find("\"ok\":true"), std::string::npos) << reply;
    // The upload's delay, the rest of the attempt, and a little more.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    int32_t state = -1;
    for (const JobRow& r : s().db->Jobs(maxBefore))
        if (r.id == id) state = r.state;
    const std::map<int64_t, int> accepted = AcceptedSubmissions(s().cloud);
    const int submitted = accepted.count(id) ? accepted.at(id) : 0;
    std::printf("cancel: job %lld state %d after its attempt, %d cloud submission(s)\n",
                static_cast<long long>(id), state, submitted);
    EXPECT_EQ(state, 4) << "the attempt's outcome replaced the cancel";
    EXPECT_LE(submitted, 1) << "attempted again after the cancel";
    ResetCloud();
}

}  // namespace
}  // namespace qs
