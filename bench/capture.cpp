// Throughput of one large print job through a PortListener on loopback,
// against a plain socket that receives the same bytes into a file the same
// way, and the peak working set of the process while doing it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/port_listener.h"
#include "foundation/files.h"
#include "foundation/handles.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kJobBytes = 192LL << 20;  // below the listener's 200 MiB cap
constexpr int kBlockBytes = 1 << 20;
constexpr int kMinRounds = 3;
constexpr int kMaxRounds = 5;
constexpr double kBudgetSeconds = 35;  // more rounds only while time allows

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double MiBPerSecond(int64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int FreePort() {
    qs::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(0);
    if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 0;
    int len = sizeof(a);
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// The print spooler's side: one connection, the whole job, then close.
bool SendJob(int port) {
    qs::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(port);
    if (!s || connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return false;
    std::string block(kBlockBytes, '\0');
    for (int i = 0; i < kBlockBytes; ++i) block[i] = static_cast<char>((i * 131 + 7) & 0xff);
    for (int64_t sent = 0; sent < kJobBytes;) {
        const int want = static_cast<int>(std::min<int64_t>(kJobBytes - sent, kBlockBytes));
        const int n = send(s.get(), block.data(), want, 0);
        if (n <= 0) return false;
        sent += n;
    }
    return true;
}

// One job through the listener; seconds from connect until the handler has the file.
double RunListener(const std::wstring& dir, int64_t& stored) {
    std::mutex mutex;
    std::condition_variable done;
    std::wstring path;
    const int port = FreePort();
    qs::PortListener listener(
        port,
        [&](const std::wstring& p, int32_t) {
            std::lock_guard<std::mutex> lock(mutex);
            path = p;
            done.notify_all();
            return true;
        },
        dir);
    if (!listener.Start()) return -1;
    const auto start = Clock::now();
    const bool sent = SendJob(port);
    std::unique_lock<std::mutex> lock(mutex);
    if (!sent || !done.wait_for(lock, std::chrono::seconds(60), [&] { return !path.empty(); })) {
        return -1;
    }
    const double seconds = Seconds(start);
    lock.unlock();
    listener.Stop();
    stored = qs::FileSize(path);
    qs::RemovePath(path);
    return seconds;
}

// The baseline: accept, receive 64 KiB at a time, write each to a file.
double RunPlainSocket(const std::wstring& dir, int64_t& stored) {
    qs::UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(0);
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        listen(listener.get(), SOMAXCONN) != 0) {
        return -1;
    }
    int len = sizeof(a);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);

    const std::wstring path = dir + L"\\baseline.dat";
    double seconds = -1;
    stored = 0;
    std::thread receiver([&] {
        qs::UniqueSocket client(accept(listener.get(), nullptr, nullptr));
        qs::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!client || !file) return;
        std::vector<char> chunk(65536);
        for (;;) {
            const int n = recv(client.get(), chunk.data(), static_cast<int>(chunk.size()), 0);
            if (n <= 0) break;
            DWORD written = 0;
            if (!WriteFile(file.get(), chunk.data(), static_cast<DWORD>(n), &written, nullptr)) {
                return;
            }
            stored += written;
        }
    });
    const auto start = Clock::now();
    const bool sent = SendJob(port);
    receiver.join();
    if (sent) seconds = Seconds(start);
    qs::RemovePath(path);
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string Join(const std::vector<double>& v) {
    std::string out;
    char buf[32];
    for (double x : v) {
        snprintf(buf, sizeof(buf), "%s%.1f", out.empty() ? "" : " ", x);
        out += buf;
    }
    return out;
}

}  // namespace

int main() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp, n) + L"qs_bench_capture_" +
                             std::to_wstring(GetCurrentProcessId());
    if (!qs::MakeDirs(dir)) {
        fprintf(stderr, "cannot create %ls\n", dir.c_str());
        return 1;
    }

    std::vector<double> listenerRates, baselineRates;
    bool ok = true;
    const auto begin = Clock::now();
    int rounds = 0;
    for (int round = 0; round < kMaxRounds && ok; ++round) {
        if (round >= kMinRounds && Seconds(begin) > kBudgetSeconds) break;
        ++rounds;
        // Alternate the order so neither side always runs on a warm cache.
        for (int side = 0; side < 2 && ok; ++side) {
            const bool listenerSide = (side == 0) == (round % 2 == 0);
            int64_t stored = 0;
            const double s = listenerSide ? RunListener(dir, stored) : RunPlainSocket(dir, stored);
            if (s <= 0 || stored != kJobBytes) {
                fprintf(stderr, "%s run %d failed: %.3f s, %" PRId64 " bytes stored\n",
                        listenerSide ? "listener" : "baseline", round, s, stored);
                ok = false;
                break;
            }
            (listenerSide ? listenerRates : baselineRates).push_back(MiBPerSecond(kJobBytes, s));
        }
    }
    RemoveDirectoryW(dir.c_str());
    if (!ok) return 1;

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    const double peakMiB = static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);

    const double value = Median(listenerRates);
    const double baseline = Median(baselineRates);
    printf("capture: %" PRId64 " MiB per job, %d runs each, median taken\n", kJobBytes >> 20,
           rounds);
    printf("listener MiB/s: %s\n", Join(listenerRates).c_str());
    printf("baseline MiB/s: %s\n", Join(baselineRates).c_str());
    printf("bench capture: value=%.1f MiB/s baseline=%.1f MiB/s ratio=%.3f peak_ws_mib=%.0f\n",
           value, baseline, baseline > 0 ? value / baseline : 0.0, peakMiB);
    return 0;
}
