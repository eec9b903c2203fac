// Raw TCP printing to a device on the local network (its port 9100).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace qs {

// Results of a direct send.
enum LanSendResult : int32_t {
    kLanSent = 0,            // every byte sent and the device closed in order
    kLanFailed = -1,         // unreadable file, no socket, refused, reset, send error, stalled
    kLanConnectTimeout = -2, // the connection was not made within the connect limit
};

struct LanSendLimits {
    int32_t connectMs = 3000;  // time allowed for the connection to be made
    // A device that accepts and then stops reading would otherwise hold the
    // sending thread for ever; this long without any byte going out fails.
    int32_t stallMs = 30000;
};

// Streams the file from disk in chunks, so a 200 MiB job never sits in memory.
int32_t SendFileToDevice(const std::wstring& path, const std::string& ip, uint16_t port,
                         const LanSendLimits& limits);
// The same for bytes the caller already holds.
int32_t SendBytesToDevice(const std::string& bytes, const std::string& ip, uint16_t port,
                          const LanSendLimits& limits);

}  // namespace qs
