// The narrow view of the Bluetooth LE platform that the worker needs. The
// product implements it over the Windows Runtime (winrt_transport.h); tests
// and the demo use the simulated device (sim_transport.h).
//
// Every call is made on the worker thread, except the callbacks, which the
// platform may make from its own threads. A platform failure (a failed
// HRESULT, an exception of the runtime) is thrown as BleTransportError; it
// never leaves this library.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qs {

struct BleTransportError {
    std::wstring text;
    // The platform's Bluetooth classes could not be activated at all (an
    // older Windows, or one without the runtime's Bluetooth support).
    bool noAdapter = false;
};

struct BleAdvertisement {
    uint64_t address = 0;
    int32_t addressType = 0;  // BluetoothAddressType: 0 public, 1 random, 2 unspecified
    std::wstring localName;
};

class BleCharacteristic {
public:
    virtual ~BleCharacteristic() = default;
    // The first 32-bit field of its UUID.
    virtual uint32_t ShortId() = 0;
    // An uncached read: false when the platform's status was not Success.
    virtual bool Read(std::string* bytes) = 0;
    // One write with response; the platform's GattCommunicationStatus
    // (0 is Success).
    virtual int Write(const std::string& bytes) = 0;
};

class BleService {
public:
    virtual ~BleService() = default;  // closes the service
    virtual uint32_t ShortId() = 0;
    // Uncached; false when the status was not Success.
    virtual bool Characteristics(std::vector<std::unique_ptr<BleCharacteristic>>* out) = 0;
};

class BleSession {
public:
    virtual ~BleSession() = default;  // closes the session
    virtual void SetMaintainConnection(bool on) = 0;
    virtual uint16_t MaxPduSize() = 0;
};

class BleDevice {
public:
    virtual ~BleDevice() = default;  // closes the device
    // Called when the connection status becomes Disconnected; replaces any
    // earlier handler. Returns false when it could not be registered.
    virtual bool SetDisconnectedHandler(std::function<void()> handler) = 0;
    virtual void RemoveDisconnectedHandler() = 0;
    // The GATT session of the device, or nullptr when it yields none.
    virtual std::unique_ptr<BleSession> OpenSession() = 0;
    // Uncached; false when the status was not Success.
    virtual bool Services(std::vector<std::unique_ptr<BleService>>* out) = 0;
};

class BleTransport {
public:
    virtual ~BleTransport() = default;
    // A default adapter exists and supports Low Energy.
    virtual bool HasLowEnergyAdapter() = 0;
    // An active-mode watcher whose Received callback gets every
    // advertisement; false when it could not start.
    virtual bool StartWatcher(std::function<void(const BleAdvertisement&)> onReceived) = 0;
    // Stops the watcher and removes its handler; no callback runs after it.
    virtual void StopWatcher() = 0;
    // nullptr when no device is obtained for the address (and, with
    // withType, the address type).
    virtual std::unique_ptr<BleDevice> DeviceFromAddress(uint64_t address, int32_t addressType,
                                                         bool withType) = 0;
};

}  // namespace qs
