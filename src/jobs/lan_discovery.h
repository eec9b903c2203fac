// LAN discovery: devices on the local network answer a UDP "Ping" with their
// serial number; the table maps serial number to the address that answered,
// so delivery can go straight to the device instead of through the cloud.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/handles.h"

struct _IP_ADAPTER_ADDRESSES_LH;

namespace qs {

struct DiscoveredDevice {
    std::string ip;         // dotted IPv4
    int64_t last_seen = 0;  // epoch ms of the last reply
};

// One usable IPv4 address of this computer.
struct LocalAdapter {
    uint32_t address = 0;    // network byte order
    uint32_t broadcast = 0;  // network byte order
    bool has_broadcast = false;
    std::string text;
};

// One datagram of a probe round: sent through `interface_address`
// (network byte order; 0 = the default interface) to `destination`.
struct ProbeTarget {
    uint32_t interface_address = 0;
    uint32_t destination = 0;
    bool operator==(const ProbeTarget&) const = default;
};

struct LanDiscoveryOptions {
    uint16_t local_port = 9001;   // 0 binds an ephemeral port (tests)
    uint16_t device_port = 9000;
    std::string group = "239.100.100.1";
    // Empty: the computer's adapters (ListLocalAdapters).
    std::function<std::vector<LocalAdapter>()> list_adapters;
    // Empty: NowEpochMs.
    std::function<int64_t()> clock;
    // Real-time interval at which the probe thread looks at the clock.
    int32_t tick_ms = 1000;
};

class LanDiscovery {
public:
    static constexpr int32_t kMaxDatagram = 4095;
    static constexpr int64_t kFirstProbeMs = 8000;
    static constexpr int64_t kProbePeriodMs = 30000;
    static constexpr int64_t kLifetimeMs = 90000;
    static constexpr int32_t kReceiveRetryMs = 200;
    // A flood of made-up serial numbers must not grow the table without end.
    static constexpr size_t kMaxEntries = 1024;
    static constexpr char kProbePayload[] = "{\"cmd\":\"Ping\"}";
    static_assert(sizeof(kProbePayload) - 1 == 14, "the probe is 14 bytes on the wire");

    explicit LanDiscovery(std::function<void()> onChange,
                          LanDiscoveryOptions options = {});
    ~LanDiscovery();
    LanDiscovery(const LanDiscovery&) = delete;
    LanDiscovery& operator=(const LanDiscovery&) = delete;

    bool Start();
    // Ends both threads and closes the socket. Called from the change
    // callback it only asks the threads to end; the owner's next Stop (or
    // the destructor) joins them and closes the socket.
    void Stop();
    bool Lookup(const std::string& sn, std::string* ip) const;
    std::map<std::string, DiscoveredDevice> Snapshot() const;
    void ProbeNow();

    // One reply datagram from `sender` (dotted IPv4). Public so that the
    // reply rules can be exercised without a network.
    void HandleReply(const std::string& payload, const std::string& sender);

    // The port the socket is bound to while started, else 0.
    uint16_t BoundPort() const { return boundPort_.load(); }

private:
    int64_t Now() const;
    void ReceiveLoop();
    void ProbeLoop(int64_t firstProbe);
    void SendProbe();
    void StopLocked();
    bool OnOwnThread() const;
    // Waits up to ms of real time; false when stop was requested.
    bool WaitUnlessStopped(int32_t ms);

    std::function<void()> onChange_;
    LanDiscoveryOptions options_;

    mutable std::mutex mutex_;  // guards table_
    std::map<std::string, DiscoveredDevice> table_;

    // Guards the socket against Stop closing it under a concurrent
    // ProbeNow, and keeps one probe round's interface choice together.
    std::mutex socketMutex_;
    UniqueSocket socket_;
    UniqueHandle readEvent_;
    UniqueHandle stopEvent_;
    std::atomic<uint16_t> boundPort_{0};

    std::mutex lifecycleMutex_;  // Start and Stop, one at a time
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    std::thread receiveThread_;
    std::thread probeThread_;
};

// The computer's usable IPv4 addresses (up, not loopback, not 127.x or
// 169.254.x), in Windows' enumeration order.
std::vector<LocalAdapter> ListLocalAdapters();
// The same selection over an adapter list as GetAdaptersAddresses returns it.
std::vector<LocalAdapter> LocalAdaptersFrom(const _IP_ADAPTER_ADDRESSES_LH* first);

// The datagrams of one probe round, in sending order: with no adapters one to
// the group through the default interface, else per adapter the group and,
// when it has one, its broadcast address.
std::vector<ProbeTarget> ProbeTargets(const std::vector<LocalAdapter>& adapters,
                                      uint32_t group);

// Strict dotted-quad IPv4 in canonical form ("192.168.1.7", no leading
// zeros, no spaces); stores the address in network byte order.
bool ParseIpv4(const std::string& text, uint32_t* address);
std::string Ipv4Text(uint32_t address);

}  // namespace qs
