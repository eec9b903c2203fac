#include "capture/port_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>
#include <utility>
#include <vector>

#include "foundation/data_paths.h"
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
                           int64_t maxBytes, int32_t idleMs)
    : port_(port),
      onData_(std::move(onData)),
      spoolDir_(std::move(spoolDir)),
      maxBytes_(maxBytes),
      idleMs_(idleMs) {}

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
    // Connections are not cut short: each ends by close, silence or the cap
    // and finishes its file and its handler call.
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
            continue;  // closed unread as it goes out of scope
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
    // Each chunk goes to disk as it arrives, so a connection holds one chunk
    // of memory however large the job is.
    std::vector<char> chunk(kCaptureChunkBytes);
    UniqueFile file;
    std::wstring path;
    int64_t held = 0;
    bool failed = false;

    // The receive time-out is the idle time, so silence ends the job. It
    // replaces a select before each chunk, an extra system round trip per
    // 64 KiB that cost a good part of the throughput.
    const DWORD idle = static_cast<DWORD>(idleMs_);
    setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&idle),
               sizeof(idle));
    for (;;) {
        const int received = recv(client.get(), chunk.data(), kCaptureChunkBytes, 0);
        if (received <= 0) break;
        if (held + received > maxBytes_) {
            LogWarn("打印数据超过上限，截断");
            break;
        }
        if (!file) {
            // Made on the first byte: a connection without data leaves nothing.
            const std::wstring dir = spoolDir_.empty() ? DataDir() : spoolDir_;
            path = PathJoin(dir, Utf8ToWide(NewId() + ".dat"));
            file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) {
                failed = true;
                break;
            }
        }
        if (!WriteAll(file.get(), chunk.data(), received)) {
            failed = true;
            break;
        }
        held += received;
    }
    if (held == 0 && !failed) return;  // client closes on scope exit; no file was made

    if (failed) {
        ResetConnection(client);
        if (file) {  // only a file this connection made is ours to remove
            file.reset();
            RemovePath(path);
        }
        LogError("落盘失败：" + WideToUtf8(path));
        return;
    }
    file.reset();  // complete and closed before anyone is told about it
    client.reset();
    LogInfo("收到打印数据 " + std::to_string(held) + " 字节 → " + WideToUtf8(path));
    if (onData_) onData_(path, port_);
}

}  // namespace qs
