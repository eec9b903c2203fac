// One loopback TCP listener per device port: each accepted connection is one
// print job, streamed byte for byte into a spool file and handed on.
#pragma once
#include <winsock2.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace qs {

// Called once per stored spool file, on the connection's own thread, after
// the file is complete and flushed to disk. Returns true once the job is
// stored for good: only then is the sender's connection closed in order.
// False resets the connection and the listener removes the file, so the
// sender keeps its job and sends it again.
using PrintDataHandler = std::function<bool(const std::wstring& path, int32_t port)>;

constexpr int64_t kCaptureMaxBytes = 209715200;  // 200 MiB per connection
constexpr int32_t kCaptureIdleMs = 2000;         // silence that ends a job
constexpr int64_t kCaptureMaxConnectionMs = 600000;  // one connection, start to end
constexpr int32_t kCaptureMaxConnections = 8;    // per port
constexpr int32_t kCaptureChunkBytes = 65536;
// How long Stop lets a connection that is still receiving go on before it is
// refused; with the idle time this bounds Stop whatever the sender does.
constexpr int32_t kCaptureStopGraceMs = 2000;

class PortListener {
public:
    // spoolDir empty: the data folder (DataDir). maxBytes, idleMs and
    // maxConnectionMs exist so tests can use a small cap, a short silence and
    // a short overall limit; the core keeps the defaults.
    PortListener(int32_t port, PrintDataHandler onData, std::wstring spoolDir = {},
                 int64_t maxBytes = kCaptureMaxBytes, int32_t idleMs = kCaptureIdleMs,
                 int64_t maxConnectionMs = kCaptureMaxConnectionMs);
    ~PortListener();
    PortListener(const PortListener&) = delete;
    PortListener& operator=(const PortListener&) = delete;

    bool Start();
    // Stops listening and waits until every connection has ended: one that
    // ends within the stop grace is stored as usual, one still receiving
    // after it is refused. The caller must not hold a lock the handler
    // takes, and must not be the handler itself: it would wait for its own
    // return.
    void Stop();

    int32_t port() const { return port_; }
    bool running() const { return running_.load(); }
    int32_t activeConnections() const { return activeConnections_.load(); }

private:
    void AcceptLoop(SOCKET listenSocket);
    void HandleConnection(SOCKET client);

    const int32_t port_;
    PrintDataHandler onData_;
    const std::wstring spoolDir_;
    const int64_t maxBytes_;
    const int32_t idleMs_;
    const int64_t maxConnectionMs_;

    SOCKET socket_ = INVALID_SOCKET;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> stopAtTick_{0};  // GetTickCount64 when Stop began
    std::atomic<bool> running_{false};
    std::atomic<int32_t> activeConnections_{0};
};

}  // namespace qs
