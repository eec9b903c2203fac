// Receipt-sized jobs delivered to a LAN device through the whole attempt
// (lease, checks, direct send, outcome), against the same bytes sent with a
// plain blocking socket to the same device; then one 100 MiB direct job,
// whose working set must stay small because the file is streamed.
//
// The device is simulated in this process: a listener on its own loopback
// address that reads every connection to the end, as a printer's raw port
// does. Both the product and the baseline talk to it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cloud/cloud_client.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/text.h"
#include "foundation/time_util.h"
#include "jobs/job_engine.h"
#include "jobs/lan_discovery.h"
#include "store/config_store.h"

namespace {

constexpr int kJobs = 1000;
constexpr size_t kJobBytes = 4096;
constexpr int64_t kBigBytes = int64_t(100) << 20;
constexpr char kDeviceIp[] = "127.0.0.2";
constexpr char kSn[] = "BENCH0001";

double NowMs() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1000.0 / double(freq.QuadPart);
}

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS c{};
    GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof(c));
    return double(c.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// The simulated printer: accepts one connection at a time and reads it to
// the end, counting what arrived.
class Device {
public:
    bool Start() {
        listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!listener_) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, kDeviceIp, &addr.sin_addr);
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
        if (listen(listener_.get(), 64) != 0) return false;
        int len = sizeof(addr);
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
        return true;
    }
    void Stop() {
        // One last empty connection wakes the accept so the thread can end.
        stopping_ = true;
        WakeUp();
        if (thread_.joinable()) thread_.join();
        listener_.reset();
    }
    uint16_t port() const { return port_; }
    int64_t lastJobBytes() const { return lastJob_.load(); }
    int64_t jobs() const { return jobs_.load(); }
    // Waits up to two seconds until the device has finished `count` jobs.
    void WaitJobs(int64_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait_for(lock, std::chrono::seconds(2), [&] { return jobs_.load() >= count; });
    }

private:
    void Serve() {
        std::vector<char> buf(64 * 1024);
        for (;;) {
            SOCKET c = accept(listener_.get(), nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            qs::UniqueSocket conn(c);
            int64_t total = 0;
            for (;;) {
                int n = recv(conn.get(), buf.data(), static_cast<int>(buf.size()), 0);
                if (n <= 0) break;
                total += n;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lastJob_ = total;
                ++jobs_;
            }
            done_.notify_all();
            if (stopping_.load()) return;
        }
    }
    void WakeUp();
    qs::UniqueSocket listener_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<int64_t> lastJob_{0};
    std::atomic<int64_t> jobs_{0};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable done_;
};

// What a minimal sender does: blocking connect, send, close.
bool PlainSend(const std::string& bytes, uint16_t port) {
    qs::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, kDeviceIp, &addr.sin_addr);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
    size_t off = 0;
    while (off < bytes.size()) {
        int n = send(s.get(), bytes.data() + off, static_cast<int>(bytes.size() - off), 0);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    shutdown(s.get(), SD_SEND);
    return true;
}

void Device::WakeUp() { PlainSend("", port_); }

void RemoveFolder(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name != L"." && name != L"..") DeleteFileW((dir + L"\\" + name).c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

std::wstring TempFolder() {
    wchar_t base[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, base);
    // Process ids are reused: a folder left by a killed run must not lend
    // its finished jobs to this one.
    std::wstring dir = std::wstring(base, n) + L"qs_bench_lan_" +
                       std::to_wstring(GetCurrentProcessId()) + L"_" +
                       std::to_wstring(GetTickCount64());
    RemoveFolder(dir);
    qs::MakeDirs(dir);
    return dir;
}

std::string JobBytes(int i) {
    std::string bytes(kJobBytes, '\0');
    uint32_t x = 0x9e3779b9u * static_cast<uint32_t>(i + 1);
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

int64_t AddJob(qs::ConfigStore& store, const std::wstring& path) {
    qs::JobRecord job;
    job.sn = kSn;
    job.path = qs::WideToUtf8(path);
    job.idem = qs::WideToUtf8(path);
    job.expires_at = qs::NowEpochMs() + qs::JobEngine::kJobRetentionMs;
    return store.InsertJob(job);
}

}  // namespace

int main() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    std::printf("working set at start %.1f MiB\n", PeakWorkingSetMiB());

    Device device;
    if (!device.Start()) {
        std::printf("bench lan-delivery: could not start the simulated device\n");
        return 1;
    }

    const std::wstring dir = TempFolder();
    qs::ConfigStore store;
    if (!store.Open(qs::PathJoin(dir, L"qnconfig.db"))) {
        std::printf("bench lan-delivery: could not open the database\n");
        return 1;
    }
    qs::LanDiscovery discovery([] {});
    discovery.HandleReply(std::string("{\"cmd\":\"Pong\",\"sn\":\"") + kSn + "\"}", kDeviceIp);
    qs::CloudClient::Options cloudOptions;
    cloudOptions.baseUrl = "http://127.0.0.1:9";  // never reached while the LAN works
    qs::CloudClient cloud(cloudOptions);

    qs::JobEngineDeps deps;
    deps.store = &store;
    deps.cloud = &cloud;
    deps.discovery = &discovery;
    deps.delivery.device_port = device.port();
    qs::JobEngine engine(deps);

    qs::DeviceRecord record;
    record.sn = kSn;
    const std::vector<qs::DeviceRecord> devices{record};

    // One 100 MiB job, written in pieces so the bench itself never holds it.
    const std::wstring big = qs::PathJoin(dir, L"big.dat");
    {
        qs::UniqueFile out(CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        const std::string piece = JobBytes(7) + std::string((1 << 20) - kJobBytes, 'x');
        for (int64_t written = 0; written < kBigBytes; written += int64_t(piece.size())) {
            DWORD n = 0;
            WriteFile(out.get(), piece.data(), static_cast<DWORD>(piece.size()), &n, nullptr);
        }
    }
    const int64_t bigId = AddJob(store, big);
    const double before = PeakWorkingSetMiB();
    const double b0 = NowMs();
    const bool bigOk = engine.ProcessJob(bigId, false, devices);
    const double b1 = NowMs();
    // The device may still be draining the last bytes.
    device.WaitJobs(1);
    const int64_t bigReceived = device.lastJobBytes();
    const double bigPeak = PeakWorkingSetMiB();
    std::printf("100 MiB direct job: %s in %.0f ms, device got %" PRId64
                " bytes; peak working set %.1f MiB (%.1f MiB before it)\n",
                bigOk ? "completed" : "FAILED", b1 - b0, bigReceived, bigPeak, before);

    std::vector<int64_t> ids;
    for (int i = 0; i < kJobs; ++i) {
        const std::wstring path = qs::PathJoin(dir, std::to_wstring(i) + L".dat");
        qs::WriteFileBytes(path, JobBytes(i));
        ids.push_back(AddJob(store, path));
    }

    // Alternate product and baseline job by job, each going first every
    // other time, so drift on a shared machine hits both alike. Each send is
    // timed only once the device has finished the one before, so neither is
    // slowed by the device still reading its predecessor.
    std::vector<double> product, baseline;
    int failures = 0;
    int64_t expected = device.jobs();
    auto settle = [&] { device.WaitJobs(++expected); };
    for (int i = 0; i < kJobs && failures < 10; ++i) {
        const std::string payload = JobBytes(i);
        for (int turn = 0; turn < 2; ++turn) {
            const bool productTurn = (turn == 0) == (i % 2 == 0);
            const double t0 = NowMs();
            const bool sent = productTurn ? engine.ProcessJob(ids[i], false, devices)
                                          : PlainSend(payload, device.port());
            const double t1 = NowMs();
            (productTurn ? product : baseline).push_back(t1 - t0);
            if (sent) {
                settle();
            } else {
                ++failures;
            }
        }
    }

    const double pMed = Percentile(product, 0.5), pP99 = Percentile(product, 0.99);
    const double bMed = Percentile(baseline, 0.5), bP99 = Percentile(baseline, 0.99);
    std::printf("%d jobs of %zu bytes, failures %d\n", kJobs, kJobBytes, failures);
    std::printf("per job through ProcessJob: median %.3f ms, p99 %.3f ms\n", pMed, pP99);
    std::printf("per job, plain blocking socket: median %.3f ms, p99 %.3f ms\n", bMed, bP99);
    std::printf("median difference %.3f ms\n", pMed - bMed);

    const double peak = PeakWorkingSetMiB();
    const bool ok = failures == 0 && bigOk && bigReceived == kBigBytes && bigPeak < 32.0;
    device.Stop();
    RemoveFolder(dir);
    if (!ok) std::printf("bench lan-delivery: FAILED (see above)\n");
    std::printf("bench lan-delivery: value=%.3f ms baseline=%.3f ms ratio=%.3f peak_ws_mib=%.1f\n",
                pMed, bMed, bMed > 0 ? pMed / bMed : 0.0, peak);
    return ok ? 0 : 1;
}
