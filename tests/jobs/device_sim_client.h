// Talks to tools/device_sim.py, the simulated LAN printers a test runs
// beside (started through PEER in CMake; its ports arrive as environment
// variables).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qs::test {

struct SimDevice {
    std::string sn;
    std::string addr;  // the device's own loopback address
};

struct SimJob {
    std::string sn;
    std::string file;  // name inside the simulator's job folder
    int64_t size = 0;
    bool complete = false;
};

class DeviceSim {
public:
    // Reads DEVICE_SIM_* from the environment; available() is false
    // when the test was started without the simulator.
    DeviceSim();
    bool available() const { return controlPort_ != 0; }
    uint16_t udpPort() const { return udpPort_; }
    uint16_t tcpPort() const { return tcpPort_; }
    const std::vector<SimDevice>& devices() const { return devices_; }
    std::string AddressOf(const std::string& sn) const;

    // One JSON request line, one JSON reply line ("" when unreachable).
    std::string Request(const std::string& json) const;
    bool Reset() const;
    bool Set(const std::string& sn, const std::string& key, const std::string& value) const;
    // Probe datagrams the simulator received, and its last one's bytes.
    int64_t Probes(std::string* lastProbe = nullptr) const;
    int64_t Replies(const std::string& sn) const;
    // Probe datagrams that reached one device (group and direct ones).
    int64_t DeviceProbes(const std::string& sn) const;
    // Finished jobs (optionally of one device), waiting up to timeoutMs
    // for at least `count` of them.
    std::vector<SimJob> WaitJobs(size_t count, int32_t timeoutMs,
                                 const std::string& sn = "") const;
    // A job's bytes as the simulator stored them.
    bool JobBytes(const SimJob& job, std::string* bytes) const;

private:
    int64_t DeviceCounter(const std::string& sn, const char* name) const;
    uint16_t udpPort_ = 0;
    uint16_t tcpPort_ = 0;
    uint16_t controlPort_ = 0;
    std::wstring jobDir_;
    std::vector<SimDevice> devices_;
};

}  // namespace qs::test
