// The whole capture-to-device path in one running core: receipts sent to a
// device's loopback port, each timed from the sender's close until the
// device has the last byte, against the same bytes sent straight to the
// device. Then eight 100 MiB jobs at once on one port, with the process's
// peak working set.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/logger.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReceipts = 500;
constexpr size_t kReceiptBytes = 4096;
constexpr int kBigJobs = 8;
constexpr int64_t kBigJobBytes = 100LL << 20;
constexpr int kDevicePort = 39190;

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A printer on the LAN: takes each connection's bytes and notes when the
// sender closed it.
class DeviceSink {
public:
    bool Start() {
        listen_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in a = Loopback(0);
        if (!listen_ || bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            listen(listen_.get(), SOMAXCONN) != 0)
            return false;
        int len = sizeof(a);
        getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { AcceptLoop(); });
        return true;
    }
    void Stop() {
        listen_.reset();
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }

    // Waits for the next finished job; its byte count and finishing time.
    bool WaitJob(int64_t& bytes, Clock::time_point& at, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !done_.empty(); }))
            return false;
        bytes = done_.front().first;
        at = done_.front().second;
        done_.erase(done_.begin());
        return true;
    }

private:
    void AcceptLoop() {
        for (;;) {
            SOCKET c = accept(listen_.get(), nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            std::thread([this, c] {
                qs::UniqueSocket conn(c);
                std::vector<char> buf(65536);
                int64_t total = 0;
                for (;;) {
                    int n = recv(conn.get(), buf.data(), static_cast<int>(buf.size()), 0);
                    if (n <= 0) break;
                    total += n;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                done_.emplace_back(total, Clock::now());
                changed_.notify_all();
            }).detach();
        }
    }

    qs::UniqueSocket listen_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<int64_t, Clock::time_point>> done_;
};

// The spooler's side: one connection, the bytes (repeat times), close.
// Returns the moment the close was issued.
bool SendAndClose(int port, const std::string& bytes, Clock::time_point& closedAt, int repeat = 1) {
    qs::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(port);
    if (!s || connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return false;
    for (int r = 0; r < repeat; ++r) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int n = send(s.get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
    }
    shutdown(s.get(), SD_SEND);
    closedAt = Clock::now();
    return true;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Sends each receipt to port and times it until the sink has it.
bool TimeReceipts(int port, DeviceSink& sink, int count, std::vector<double>& out) {
    std::string receipt(kReceiptBytes, '\0');
    for (size_t i = 0; i < receipt.size(); ++i) receipt[i] = static_cast<char>('A' + i % 26);
    for (int i = 0; i < count; ++i) {
        Clock::time_point closed, arrived;
        int64_t bytes = 0;
        if (!SendAndClose(port, receipt, closed) || !sink.WaitJob(bytes, arrived, 30000) ||
            bytes != static_cast<int64_t>(kReceiptBytes)) {
            std::fprintf(stderr, "receipt %d did not arrive whole\n", i);
            return false;
        }
        out.push_back(Ms(arrived - closed));
    }
    return true;
}

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return static_cast<double>(pmc.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

}  // namespace

int main() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    std::wstring root = qs::PathJoin(tmp, L"qs_bench_relay_" + std::to_wstring(GetCurrentProcessId()));
    qs::MakeDirs(root);

    DeviceSink sink;
    if (!sink.Start()) {
        std::fprintf(stderr, "device sink did not start\n");
        return 1;
    }
    {
        qs::ConfigStore store;
        if (!store.Open(qs::PathJoin(root, L"qnconfig.db"))) return 1;
        qs::DeviceRecord d;
        d.sn = "RELAY1";
        d.port = kDevicePort;
        store.UpsertDevice(d);
    }
    qs::CoreOptions options;
    options.dataRoot = root;
    options.cloudBaseUrl = "http://127.0.0.1:9/";  // never reached: the device is on the LAN
    options.discovery.local_port = 0;
    options.delivery.device_port = static_cast<uint16_t>(sink.port());
    qs::Core core(options);
    if (!core.Start(false)) return 1;
    // The device answers discovery as a printer on the LAN would.
    core.Discovery().HandleReply("{\"cmd\":\"Pong\",\"sn\":\"RELAY1\"}", "127.0.0.1");

    std::vector<double> relay, direct;
    // Alternate in blocks so both sides see the same machine load.
    constexpr int kBlocks = 5;
    for (int block = 0; block < kBlocks; ++block) {
        if (!TimeReceipts(kDevicePort, sink, kReceipts / kBlocks, relay) ||
            !TimeReceipts(sink.port(), sink, kReceipts / kBlocks, direct))
            return 1;
    }
    std::printf("receipts: %zu through the core, %zu direct, %zu bytes each\n", relay.size(),
                direct.size(), kReceiptBytes);
    std::printf("relay  median %.3f ms  p99 %.3f ms\n", Percentile(relay, 0.5), Percentile(relay, 0.99));
    std::printf("direct median %.3f ms  p99 %.3f ms\n", Percentile(direct, 0.5), Percentile(direct, 0.99));
    std::printf("added  median %.3f ms  p99 %.3f ms\n", Percentile(relay, 0.5) - Percentile(direct, 0.5),
                Percentile(relay, 0.99) - Percentile(direct, 0.99));

    // Eight large jobs at once on one port.
    // One MiB sent a hundred times, so the senders hold no large buffer.
    const std::string chunk(1 << 20, 'x');
    auto start = Clock::now();
    std::vector<std::thread> senders;
    std::atomic<int> failed{0};
    for (int i = 0; i < kBigJobs; ++i)
        senders.emplace_back([&] {
            Clock::time_point closed;
            if (!SendAndClose(kDevicePort, chunk, closed, static_cast<int>(kBigJobBytes >> 20))) ++failed;
        });
    for (auto& t : senders) t.join();
    int whole = 0;
    for (int i = 0; i < kBigJobs; ++i) {
        int64_t bytes = 0;
        Clock::time_point at;
        if (sink.WaitJob(bytes, at, 120000) && bytes == kBigJobBytes) ++whole;
    }
    std::printf("%d concurrent %lld MiB jobs: %d arrived whole, %d send failures, %.1f s\n", kBigJobs,
                static_cast<long long>(kBigJobBytes >> 20), whole, failed.load(), Ms(Clock::now() - start) / 1000);

    core.Stop();
    sink.Stop();
    double value = Percentile(relay, 0.5), baseline = Percentile(direct, 0.5);
    std::printf("bench relay: value=%.3f ms baseline=%.3f ms ratio=%.3f peak_ws_mib=%.1f\n", value, baseline,
                baseline > 0 ? value / baseline : 0, PeakWorkingSetMiB());
    qs::Logger::Instance().Close();
    return whole == kBigJobs ? 0 : 1;
}
