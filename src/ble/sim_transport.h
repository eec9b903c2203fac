// Simulated Bluetooth LE devices for tests and the demo: an in-process
// adapter whose devices advertise names, expose the provisioning service
// and characteristic, answer reads with a status JSON and move through the
// network states after a Wi-Fi command.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ble/ble_transport.h"

namespace qs {

struct SimDeviceConfig {
    uint64_t address = 0;
    int32_t addressType = 0;
    std::wstring name;
    int advertiseTimes = 1;  // the same advertisement, this many times per scan
    bool found = true;       // false: no device for the address
    bool foundOnlyWithoutType = false;
    bool servicesFail = false;
    bool hasService = true;
    bool hasCharacteristic = true;
    bool hasSession = true;
    uint16_t maxPdu = 185;
    // After this many size reads the session reports grownPdu (-1: never).
    int growAfterPduReads = -1;
    uint16_t grownPdu = 0;
    int writeStatus = 0;     // GATT status of every write (0 Success)
    int readStatus = 0;      // GATT status of every read
    bool readEmpty = false;  // a successful read with no bytes
    // Reads that a state lasts before the next one after a Wi-Fi command.
    int readsPerStep = 1;
    // Status before any command.
    int netStatus = 1;
    int linkType = 1;
    int ipMode = 0;
    bool reportDualWifi = true;
    bool dualWifi = false;
    std::string ssid, ip, netmask, gateway, dns;  // UTF-8
};

class SimWorld {
public:
    bool adapterPresent = true;
    bool lowEnergy = true;

    void AddDevice(const SimDeviceConfig& config);
    // Changes a device's behaviour from the test while it is connected.
    void SetWriteStatus(uint64_t address, int status);
    void SetReadStatus(uint64_t address, int status);
    void SetMaxPdu(uint64_t address, uint16_t pdu);
    // The device goes away: the registered handler runs on this thread.
    bool DropConnection(uint64_t address);

    // What happened, for assertions.
    std::vector<std::string> Writes(uint64_t address);
    int PduReads(uint64_t address);
    int StatusReads(uint64_t address);
    int LiveObjects();
    std::vector<std::string> CloseLog();
    int WatchersRunning();
    std::string StatusJson(uint64_t address);

    // For the transport's objects.
    struct DeviceState;
    std::mutex mutex;
    std::vector<std::shared_ptr<DeviceState>> devices;
    int liveObjects = 0;
    int watchers = 0;
    std::vector<std::string> closeLog;
    std::shared_ptr<DeviceState> Find(uint64_t address);
};

std::unique_ptr<BleTransport> MakeSimTransport(std::shared_ptr<SimWorld> world);
// Two devices that go online after a Wi-Fi command, and one in setup mode
// that the scan must not offer.
std::shared_ptr<SimWorld> MakeDemoSimWorld();

}  // namespace qs
