#include "capture/port_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>
#include <utility>
#include <vector>

#include "foundation/data_paths.h"
#include "foundation/fault_point.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"

namespace qs {
namespace {

constexpr DWORD kAcceptRetryMs = 200;
constexpr DWORD kStopWaitStepMs = 20;

// Winsock stays initialised for the life of the process: listeners come and
// go with devices, and a cleanup racing another thread's socket call breaks it.
void InitSocketsOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

std::string SocketErrorText(int code) { return Win32ErrorText(static_cast<uint32_t>(code)); }

// A reset instead of the orderly close: the sender gets an error for data we
// could not keep, so its job is not taken as printed.
void ResetConnection(UniqueSocket& client) {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(client.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof(option));
    client.reset();
}

// The orderly close, which tells the sender its job is kept. Connections are
// abortive until then (see HandleConnection), so the linger is cleared first.
void CloseInOrder(UniqueSocket& client) {
    linger option{};
    option.l_onoff = 0;
    setsockopt(client.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof(option));
    client.reset();
}

bool WriteAll(HANDLE file, const char* data, int size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= static_cast<int>(written);
    }
    return true;
}

}  // namespace

PortListener::PortListener(int32_t port, PrintDataHandler onData, std::wstring spoolDir,
                           int64_t maxBytes, int32_t idleMs, int64_t maxConnectionMs)
    : port_(port),
      onData_(std::move(onData)),
      spoolDir_(std::move(spoolDir)),
      maxBytes_(maxBytes),
      idleMs_(idleMs),
      maxConnectionMs_(maxConnectionMs) {}

PortListener::~PortListener() {
    Stop();
    onData_ = nullptr;
}

bool PortListener::Start() {
    if (running_.load()) return false;
    InitSocketsOnce();

    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) {
        LogError("监听 socket 创建失败：" + SocketErrorText(WSAGetLastError()));
        return false;
    }
    const std::string portText = std::to_string(port_);
    if (port_ <= 0 || port_ > 65535) {
        LogError("绑定 127.0.0.1:" + portText + " 失败：" + SocketErrorText(WSAEINVAL));
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from the network
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
        SOCKET_ERROR) {
        LogError("绑定 127.0.0.1:" + portText + " 失败：" + SocketErrorText(WSAGetLastError()));
        return false;
    }
    if (listen(listener.get(), SOMAXCONN) == SOCKET_ERROR) {
        LogError("listen 失败：" + SocketErrorText(WSAGetLastError()));
        return false;
    }

    stopping_ = false;
    running_ = true;
    socket_ = listener.release();
    try {
        acceptThread_ = std::thread(&PortListener::AcceptLoop, this, socket_);
    } catch (...) {
        closesocket(std::exchange(socket_, INVALID_SOCKET));
        running_ = false;
        return false;
    }
    LogInfo("监听已启动：127.0.0.1:" + portText);
    return true;
}

void PortListener::Stop() {
    if (!stopping_.load()) stopAtTick_ = GetTickCount64();
    stopping_ = true;
    // Closing the socket wakes the accept blocked on it.
    SOCKET listener = std::exchange(socket_, INVALID_SOCKET);
    if (listener != INVALID_SOCKET) closesocket(listener);
    if (acceptThread_.joinable()) {
        if (acceptThread_.get_id() == std::this_thread::get_id()) {
            acceptThread_.detach();
        } else {
            acceptThread_.join();
        }
    }
    // A connection that ends within the stop grace finishes its file and
    // its handler call; one still receiving after it is refused, so a
    // trickling sender cannot hold the stop.
    while (activeConnections_.load() > 0) Sleep(kStopWaitStepMs);
    running_ = false;
}

void PortListener::AcceptLoop(SOCKET listenSocket) {
    while (!stopping_.load()) {
        UniqueSocket client(accept(listenSocket, nullptr, nullptr));
        if (!client) {
            const int error = WSAGetLastError();
            if (stopping_.load() || error == WSAEINTR || error == WSAEINVAL) break;
            Sleep(kAcceptRetryMs);
            continue;
        }
        if (activeConnections_.load() >= kCaptureMaxConnections) {
            LogWarn("并发打印数超过上限，拒绝新连接");
            // Reset, not closed in order: a sender may take an orderly close
            // as its job printed.
            ResetConnection(client);
            continue;
        }
        // Counted before the thread starts so Stop, which joins this thread
        // first, always sees it.
        ++activeConnections_;
        const SOCKET raw = client.get();
        try {
            std::thread([this, raw] {
                try {
                    HandleConnection(raw);
                } catch (...) {
                    // One connection's failure must not take the process down.
                }
                --activeConnections_;  // last touch of this listener
            }).detach();
            client.release();
        } catch (...) {
            --activeConnections_;
        }
    }
}

void PortListener::HandleConnection(SOCKET raw) {
    UniqueSocket client(raw);
    const uint64_t startTick = GetTickCount64();
    // Abortive until the job is stored: should the process die before the
    // answer, the system closes the socket with a reset, never with the
    // orderly close that a sender takes as "printed".
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(client.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
               sizeof(abortive));
    // Each chunk goes to disk as it arrives, so a connection holds one chunk
    // of memory however large the job is.
    std::vector<char> chunk(kCaptureChunkBytes);
    UniqueFile file;
    std::wstring path;
    int64_t held = 0;
    enum class End { kDone, kWriteFailed, kOverCap, kOverTime, kStopped };
    End end = End::kDone;

    // The receive time-out is the idle time, so silence ends the job. It
    // replaces a select before each chunk, an extra system round trip per
    // 64 KiB that cost a good part of the throughput. Near the overall
    // limit (or the stop grace) it is shortened to what is left, so a sender
    // that trickles bytes just inside the idle time still comes to an end.
    DWORD timeout = static_cast<DWORD>(idleMs_);
    setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    for (;;) {
        // What ends the connection when the shortened time-out runs out.
        End limit = End::kOverTime;
        int64_t left = maxConnectionMs_ - static_cast<int64_t>(GetTickCount64() - startTick);
        if (stopping_.load()) {
            const int64_t grace =
                kCaptureStopGraceMs - static_cast<int64_t>(GetTickCount64() - stopAtTick_.load());
            if (grace < left) {
                left = grace;
                limit = End::kStopped;
            }
        }
        if (left <= 0) {
            end = limit;
            break;
        }
        const DWORD wanted = left < idleMs_ ? static_cast<DWORD>(left) : static_cast<DWORD>(idleMs_);
        if (wanted != timeout) {
            timeout = wanted;
            setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO,
                       reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        }
        const int received = recv(client.get(), chunk.data(), kCaptureChunkBytes, 0);
        if (received <= 0) {
            // A time-out cut short by a limit is that limit, not the
            // sender's silence.
            if (received < 0 && WSAGetLastError() == WSAETIMEDOUT &&
                timeout < static_cast<DWORD>(idleMs_))
                end = limit;
            break;
        }
        if (held + received > maxBytes_) {
            end = End::kOverCap;
            break;
        }
        if (!file) {
            // Made on the first byte: a connection without data leaves nothing.
            const std::wstring dir = spoolDir_.empty() ? DataDir() : spoolDir_;
            path = PathJoin(dir, Utf8ToWide(NewId() + ".dat"));
            file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) {
                end = End::kWriteFailed;
                break;
            }
        }
        if (!WriteAll(file.get(), chunk.data(), received)) {
            end = End::kWriteFailed;
            break;
        }
        held += received;
    }
    // On disk for good before anyone is told about it: the sender's orderly
    // close below says the job is kept, and must hold after a power cut.
    if (end == End::kDone && file && !FlushFileBuffers(file.get())) end = End::kWriteFailed;

    // Refused whole: the sender gets a reset, so it keeps its job and sends
    // it again; nothing of it stays here.
    const auto refuse = [&] {
        ResetConnection(client);
        if (file) file.reset();
        if (!path.empty()) RemovePath(path);  // only a file this connection made
    };
    switch (end) {
        case End::kDone:
            break;
        case End::kWriteFailed:
            refuse();
            LogError("落盘失败：" + WideToUtf8(path));
            return;
        case End::kOverCap:
            refuse();
            LogError("打印数据超过上限，拒收：超过 " + std::to_string(maxBytes_) + " 字节");
            return;
        case End::kOverTime:
            refuse();
            LogError("打印连接超过时限，拒收：" + std::to_string(maxConnectionMs_ / 1000) + " 秒");
            return;
        case End::kStopped:
            refuse();
            LogWarn("监听停止，未收完的打印连接已重置：端口 " + std::to_string(port_));
            return;
    }
    if (held == 0) {  // nothing sent, nothing kept: no file was made
        CloseInOrder(client);
        return;
    }

    file.reset();
    LogInfo("收到打印数据 " + std::to_string(held) + " 字节 → " + WideToUtf8(path));
    FaultPoint("spool-flushed");
    bool stored = false;
    try {
        stored = onData_ && onData_(path, port_);
    } catch (...) {
        stored = false;
    }
    if (!stored) {
        refuse();
        LogError("作业未能入库，连接已重置：" + WideToUtf8(path));
        return;
    }
    CloseInOrder(client);  // the job is the queue's now
}

}  // namespace qs
