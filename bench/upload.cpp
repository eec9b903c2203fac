// Streamed multipart upload of a 64 MiB spool file through HttpClient,
// against a plain socket sender that posts the same request bytes (read from
// the same file in the same 64 KiB chunks), both to one loopback receiver in
// this process that discards what it reads. Also reports the peak working
// set, which stays small only if the upload streams.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cloud/http_client.h"
#include "foundation/files.h"
#include "foundation/handles.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kFileBytes = 64LL << 20;
constexpr int kChunk = 65536;
constexpr int kRounds = 3;

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

// Accepts one request per connection, reads its declared body, answers 200.
class Receiver {
public:
    bool Start() {
        listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in a = Loopback(0);
        if (!listener_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            listen(listener_.get(), SOMAXCONN) != 0) {
            return false;
        }
        int len = sizeof(a);
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Loop(); });
        return true;
    }
    void Stop() {
        listener_.reset();
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }
    int64_t lastBody() const { return lastBody_; }

private:
    void Loop() {
        std::vector<char> buf(kChunk);
        for (;;) {
            qs::UniqueSocket c(accept(listener_.get(), nullptr, nullptr));
            if (!c) return;
            std::string head;
            int64_t body = 0;
            size_t split = std::string::npos;
            while (split == std::string::npos) {
                int n = recv(c.get(), buf.data(), kChunk, 0);
                if (n <= 0) break;
                head.append(buf.data(), static_cast<size_t>(n));
                split = head.find("\r\n\r\n");
                if (head.size() > 65536) break;
            }
            if (split == std::string::npos) continue;
            int64_t length = 0;
            for (const char* key : {"Content-Length:", "content-length:"}) {
                size_t at = head.find(key);
                if (at != std::string::npos && at < split) length = _atoi64(head.c_str() + at + 15);
            }
            body = static_cast<int64_t>(head.size() - split - 4);
            while (body < length) {
                int n = recv(c.get(), buf.data(), kChunk, 0);
                if (n <= 0) break;
                body += n;
            }
            lastBody_ = body;
            const char reply[] =
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 28\r\n"
                "Connection: close\r\n\r\n{\"data\":{\"file_id\":\"f-1\"}}  ";
            send(c.get(), reply, static_cast<int>(sizeof(reply) - 1), 0);
            shutdown(c.get(), SD_SEND);
        }
    }

    qs::UniqueSocket listener_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int64_t> lastBody_{0};
};

const std::string kBoundary = "----QuillstoneBoundary0123456789abcdef";

std::string PartHead() {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"qn-1.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n";
}
std::string PartTail() { return "\r\n--" + kBoundary + "--\r\n"; }

bool SendAll(SOCKET s, const char* data, int size) {
    while (size > 0) {
        int n = send(s, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

// The baseline: the same request, written by hand onto a socket.
double RunPlain(int port, const std::wstring& file) {
    qs::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(port);
    const auto start = Clock::now();
    if (!s || connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return -1;
    std::string head = PartHead(), tail = PartTail();
    char req[512];
    snprintf(req, sizeof(req),
             "POST /v1/files HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUser-Agent: plain\r\n"
             "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %lld\r\n\r\n",
             port, kBoundary.c_str(),
             static_cast<long long>(head.size() + kFileBytes + tail.size()));
    if (!SendAll(s.get(), req, static_cast<int>(strlen(req))) ||
        !SendAll(s.get(), head.data(), static_cast<int>(head.size()))) {
        return -1;
    }
    qs::UniqueFile f(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!f) return -1;
    std::vector<char> chunk(kChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(f.get(), chunk.data(), kChunk, &got, nullptr)) return -1;
        if (got == 0) break;
        if (!SendAll(s.get(), chunk.data(), static_cast<int>(got))) return -1;
    }
    if (!SendAll(s.get(), tail.data(), static_cast<int>(tail.size()))) return -1;
    char buf[512];
    std::string reply;
    for (;;) {
        int n = recv(s.get(), buf, sizeof(buf), 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    if (reply.compare(0, 12, "HTTP/1.1 200") != 0) return -1;
    return Seconds(start);
}

double RunClient(qs::HttpClient& client, int port, const std::wstring& file) {
    const auto start = Clock::now();
    qs::HttpResponse r = client.UploadFile("http://127.0.0.1:" + std::to_string(port) + "/v1/files",
                                           file, "file", "application/octet-stream", "qn-1.bin");
    if (r.status != 200) {
        fprintf(stderr, "upload: status %d %s\n", r.status, r.error.c_str());
        return -1;
    }
    return Seconds(start);
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

bool MakeSpool(const std::wstring& path) {
    qs::UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131 + 7) & 0xff);
    for (int64_t done = 0; done < kFileBytes; done += static_cast<int64_t>(block.size())) {
        DWORD w = 0;
        if (!WriteFile(f.get(), block.data(), static_cast<DWORD>(block.size()), &w, nullptr)) return false;
    }
    return true;
}

}  // namespace

int main() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp, n) + L"qs_bench_upload_" +
                              std::to_wstring(GetCurrentProcessId()) + L".dat";
    if (!MakeSpool(file)) {
        fprintf(stderr, "cannot write %ls\n", file.c_str());
        return 1;
    }
    Receiver receiver;
    if (!receiver.Start()) return 1;

    const int64_t expectedBody =
        static_cast<int64_t>(PartHead().size() + PartTail().size()) + kFileBytes;
    qs::HttpClient client;
    client.SetTimeout(120000);
    std::vector<double> clientRates, plainRates;
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        for (int side = 0; side < 2 && ok; ++side) {
            const bool clientSide = (side == 0) == (round % 2 == 0);
            const double s = clientSide ? RunClient(client, receiver.port(), file)
                                        : RunPlain(receiver.port(), file);
            // Both bodies carry a boundary of the same length.
            if (s <= 0 || receiver.lastBody() != expectedBody) {
                fprintf(stderr, "%s run %d failed: %.3f s, %" PRId64 " body bytes\n",
                        clientSide ? "client" : "plain", round, s, receiver.lastBody());
                ok = false;
                break;
            }
            (clientSide ? clientRates : plainRates).push_back(MiBPerSecond(kFileBytes, s));
        }
    }
    receiver.Stop();
    qs::RemovePath(file);
    if (!ok) return 1;

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    const double peakMiB = static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
    const double value = Median(clientRates);
    const double baseline = Median(plainRates);
    printf("upload: %" PRId64 " MiB spool file, %d runs each, median taken\n", kFileBytes >> 20,
           kRounds);
    printf("HttpClient MiB/s: %s\n", Join(clientRates).c_str());
    printf("plain socket MiB/s: %s\n", Join(plainRates).c_str());
    printf("bench upload: value=%.1f MiB/s baseline=%.1f MiB/s ratio=%.3f peak_ws_mib=%.0f\n", value,
           baseline, baseline > 0 ? value / baseline : 0.0, peakMiB);
    return 0;
}
