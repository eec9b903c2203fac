#include "jobs/lan_send.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "foundation/handles.h"

namespace qs {
namespace {

constexpr DWORD kFileChunk = 64 * 1024;
// One send call hands at most this much to Winsock; progress is judged per call.
constexpr size_t kSendSlice = 256 * 1024;

void EnsureWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

timeval ToTimeval(int64_t ms) {
    if (ms < 0) ms = 0;
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

bool SetNonBlocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

// A connection to a device's printing port. The socket stays non-blocking
// after the connect so that every wait for the device has a limit.
class DeviceConnection {
public:
    explicit DeviceConnection(const LanSendLimits& limits) : limits_(limits) {}

    int32_t Open(const std::string& ip, uint16_t port) {
        EnsureWinsock();
        sockaddr_in dest{};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(port);
        if (ip.empty() || inet_pton(AF_INET, ip.c_str(), &dest.sin_addr) != 1) return kLanFailed;

        sock_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!sock_) return kLanFailed;
        if (!SetNonBlocking(sock_.get(), true)) return kLanFailed;

        if (connect(sock_.get(), reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) == 0) {
            return kLanSent;  // made at once: no wait
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return kLanFailed;

        // Windows reports a failed connect through the exception set, not as
        // writable: without it a refused connect would look like a time-out.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(sock_.get(), &writable);
        FD_SET(sock_.get(), &failed);
        timeval tv = ToTimeval(limits_.connectMs);
        int ready = select(0, nullptr, &writable, &failed, &tv);
        if (ready <= 0) return kLanConnectTimeout;

        // Writable means connected and the exception set means refused or
        // reset, so the pending error needs no extra call on either path.
        if (FD_ISSET(sock_.get(), &failed)) return kLanFailed;
        if (!FD_ISSET(sock_.get(), &writable)) return kLanConnectTimeout;
        return kLanSent;
    }

    // Sends every byte; fails on an error, a closed connection, or when no
    // byte has gone out for the stall limit.
    bool Send(const char* data, size_t size) {
        size_t offset = 0;
        ULONGLONG lastProgress = GetTickCount64();
        while (offset < size) {
            int slice = static_cast<int>(std::min(size - offset, kSendSlice));
            int sent = send(sock_.get(), data + offset, slice, 0);
            if (sent > 0) {
                offset += static_cast<size_t>(sent);
                lastProgress = GetTickCount64();
                continue;
            }
            if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
            int64_t idle = static_cast<int64_t>(GetTickCount64() - lastProgress);
            if (idle >= limits_.stallMs) return false;
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock_.get(), &writable);
            FD_SET(sock_.get(), &failed);
            timeval tv = ToTimeval(limits_.stallMs - idle);
            int ready = select(0, nullptr, &writable, &failed, &tv);
            if (ready < 0 || FD_ISSET(sock_.get(), &failed)) return false;
            // A time-out goes round once more and ends on the idle check.
        }
        return true;
    }

    // Ends the sending direction, as a device expects at the end of a job,
    // and waits for the device to close its side. The sends only handed the
    // bytes to the socket buffers, which hold a whole small job: a device
    // that stopped reading or reset half way would otherwise count as
    // having printed it. The device has the stall limit to take the rest
    // and close; a reset fails the send.
    int32_t Finish() {
        if (shutdown(sock_.get(), SD_SEND) != 0) return kLanFailed;
        const ULONGLONG start = GetTickCount64();
        char sink[512];
        for (;;) {
            int got = recv(sock_.get(), sink, sizeof(sink), 0);
            if (got == 0) return kLanSent;
            if (got > 0) continue;  // status bytes a device may send back; its close follows them
            if (WSAGetLastError() != WSAEWOULDBLOCK) return kLanFailed;  // reset
            const int64_t waited = static_cast<int64_t>(GetTickCount64() - start);
            if (waited >= limits_.stallMs) return kLanFailed;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(sock_.get(), &readable);
            timeval tv = ToTimeval(limits_.stallMs - waited);
            if (select(0, &readable, nullptr, nullptr, &tv) < 0) return kLanFailed;
        }
    }

private:
    LanSendLimits limits_;
    UniqueSocket sock_;
};

}  // namespace

int32_t SendFileToDevice(const std::wstring& path, const std::string& ip, uint16_t port,
                         const LanSendLimits& limits) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return kLanFailed;

    DeviceConnection conn(limits);
    int32_t opened = conn.Open(ip, port);
    if (opened != kLanSent) return opened;

    std::vector<char> chunk(kFileChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk.data(), kFileChunk, &got, nullptr)) return kLanFailed;
        if (got == 0) break;
        if (!conn.Send(chunk.data(), got)) return kLanFailed;
    }
    return conn.Finish();
}

int32_t SendBytesToDevice(const std::string& bytes, const std::string& ip, uint16_t port,
                          const LanSendLimits& limits) {
    DeviceConnection conn(limits);
    int32_t opened = conn.Open(ip, port);
    if (opened != kLanSent) return opened;
    if (!conn.Send(bytes.data(), bytes.size())) return kLanFailed;
    return conn.Finish();
}

}  // namespace qs
