// Round-trip latency of one "ping" through IpcRequest and a running
// IpcServer, against the same exchange on a bare named pipe: synchronous
// instances kept open, fixed bytes, no JSON. The two runs alternate in
// blocks so that load from other work on the machine hits both alike.
#include <windows.h>
#include <psapi.h>

#include <cJSON.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "foundation/handles.h"
#include "ipc/ipc_client.h"
#include "ipc/ipc_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 10000;
constexpr int kBlock = 500;
constexpr int kWarmUp = 200;
constexpr uint32_t kWaitMs = 3000;
constexpr char kRequest[] = "{\"cmd\":\"ping\"}";
constexpr char kReply[] = "{\"ok\":true}";

// What the command handler does for "ping": parse, answer, print.
std::string PingHandler(const std::string& request) {
    cJSON* parsed = cJSON_ParseWithLength(request.data(), request.size());
    cJSON* cmd = cJSON_GetObjectItemCaseSensitive(parsed, "cmd");
    bool ping = cJSON_IsString(cmd) && std::string(cmd->valuestring) == "ping";
    cJSON_Delete(parsed);
    cJSON* reply = cJSON_CreateObject();
    cJSON_AddBoolToObject(reply, "ok", ping);
    char* printed = cJSON_PrintUnformatted(reply);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    cJSON_Delete(reply);
    return text;
}

// The baseline server: as many threads as the real one, each keeping one
// blocking instance and answering every message with the same bytes.
class BarePipeServer {
public:
    explicit BarePipeServer(std::wstring name) : name_(std::move(name)) {
        for (int i = 0; i < qs::IpcServer::kWorkerCount; ++i) {
            qs::UniqueFile pipe(CreateNamedPipeW(
                name_.c_str(), PIPE_ACCESS_DUPLEX,
                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                PIPE_UNLIMITED_INSTANCES, 4096, 65536, 0, nullptr));
            if (!pipe) continue;
            threads_.emplace_back([this, p = pipe.get()] { Serve(p); });
            pipes_.push_back(std::move(pipe));
        }
    }
    ~BarePipeServer() {
        stop_ = true;
        for (size_t i = 0; i < threads_.size(); ++i) {
            qs::UniqueFile wake(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        }
        for (std::thread& t : threads_) t.join();
    }
    bool ok() const { return threads_.size() == qs::IpcServer::kWorkerCount; }

private:
    void Serve(HANDLE pipe) {
        char buffer[65536];
        while (!stop_) {
            if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
                DWORD got = 0, written = 0;
                if (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0 &&
                    WriteFile(pipe, kReply, sizeof(kReply) - 1, &written, nullptr)) {
                    FlushFileBuffers(pipe);
                }
            }
            DisconnectNamedPipe(pipe);
        }
    }

    std::wstring name_;
    std::atomic<bool> stop_{false};
    std::vector<qs::UniqueFile> pipes_;
    std::vector<std::thread> threads_;
};

// The client half of the baseline: the steps IpcRequest takes, bare.
std::string BareRequest(const std::wstring& name) {
    if (!WaitNamedPipeW(name.c_str(), kWaitMs)) return "";
    qs::UniqueFile pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!pipe) return "";
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    DWORD written = 0, got = 0;
    char buffer[65536];
    if (!WriteFile(pipe.get(), kRequest, sizeof(kRequest) - 1, &written, nullptr) ||
        !ReadFile(pipe.get(), buffer, sizeof(buffer), &got, nullptr)) {
        return "";
    }
    return std::string(buffer, got);
}

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

template <typename Exchange>
bool Measure(Exchange exchange, int count, std::vector<double>* samples) {
    for (int i = 0; i < count; ++i) {
        auto start = Clock::now();
        std::string reply = exchange();
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (reply != kReply) {
            std::fprintf(stderr, "unexpected reply: %s\n", reply.c_str());
            return false;
        }
        if (samples) samples->push_back(us);
    }
    return true;
}

}  // namespace

int main() {
    const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring productPipe = L"\\\\.\\pipe\\qs_bench_ipc_" + suffix;
    const std::wstring barePipe = L"\\\\.\\pipe\\qs_bench_bare_" + suffix;

    qs::IpcServer server(PingHandler, productPipe);
    BarePipeServer bare(barePipe);
    if (!server.Start() || !bare.ok()) {
        std::fprintf(stderr, "cannot start the pipe servers\n");
        return 1;
    }
    auto product = [&] { return qs::IpcRequest(kRequest, kWaitMs, productPipe); };
    auto baseline = [&] { return BareRequest(barePipe); };

    if (!Measure(product, kWarmUp, nullptr) || !Measure(baseline, kWarmUp, nullptr)) return 1;
    std::vector<double> productUs, baselineUs;
    productUs.reserve(kRoundTrips);
    baselineUs.reserve(kRoundTrips);
    auto started = Clock::now();
    for (int done = 0; done < kRoundTrips; done += kBlock) {
        if (!Measure(product, kBlock, &productUs) || !Measure(baseline, kBlock, &baselineUs)) {
            return 1;
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    double peakMiB = static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0);

    double value = Percentile(productUs, 0.5);
    double base = Percentile(baselineUs, 0.5);
    std::printf("ipc-ping: %d round trips each, alternating blocks of %d, %.1f s\n",
                kRoundTrips, kBlock, seconds);
    std::printf("IpcRequest + IpcServer: median %.1f us, p99 %.1f us\n", value,
                Percentile(productUs, 0.99));
    std::printf("bare named pipe:        median %.1f us, p99 %.1f us\n", base,
                Percentile(baselineUs, 0.99));
    std::printf("bench ipc-ping: value=%.1f us baseline=%.1f us ratio=%.2f peak_ws_mib=%.0f\n",
                value, base, base > 0 ? value / base : 0, peakMiB);
    return 0;
}
