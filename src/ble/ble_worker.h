// The BLE worker: one thread that runs every Bluetooth call of the
// provisioning dialog, one task at a time, and reports back only through
// BleEvent records posted to a window.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ble/ble_event.h"
#include "ble/ble_transport.h"

namespace qs {

class BleWorker {
public:
    using TransportFactory = std::function<std::unique_ptr<BleTransport>()>;
    using SleepFn = std::function<void(int ms)>;

    // The transport is made on the worker thread once COM is initialised
    // there; sleep is the PDU wait's pause (real sleep when empty).
    explicit BleWorker(TransportFactory makeTransport, SleepFn sleep = {});
    ~BleWorker();
    BleWorker(const BleWorker&) = delete;
    BleWorker& operator=(const BleWorker&) = delete;

    // The process's worker over the platform transport (see
    // DefaultBleTransport), made on first use.
    static BleWorker& Instance();

    // UI thread only. StopWorker must never run on the worker thread.
    void StartWorker(HWND target, UINT messageId);
    void StopWorker();
    void StartScan(int durationMs);
    void ConnectDevice(uint64_t address, int32_t addressType);
    void ReadStatus();
    void WriteCommand(const std::string& utf8);

    bool running() const;

    static constexpr int kPduRounds = 10;
    static constexpr int kPduPauseMs = 100;

private:
    void Queue(std::function<void()> task);
    void ThreadMain();
    void Post(std::unique_ptr<BleEvent> event);
    void PostFailure(BleError code, const std::wstring& detail = std::wstring());

    void ScanTask(int durationMs);
    void ConnectTask(uint64_t address, int32_t addressType);
    void ReadTask();
    void WriteTask(const std::string& bytes);
    // A read as the read task does it: the status, or false with the text
    // (or the platform's error) in *detail.
    bool ReadStatusOnce(ProvisionStatus* status, std::wstring* detail);
    void Disconnect();

    TransportFactory makeTransport_;
    SleepFn sleep_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::thread thread_;
    HWND target_ = nullptr;
    UINT messageId_ = 0;
    bool stopRequested_ = false;
    bool cancelRequested_ = false;

    // Worker thread only.
    std::unique_ptr<BleTransport> transport_;
    std::unique_ptr<BleDevice> device_;
    bool handlerRegistered_ = false;
    std::unique_ptr<BleSession> session_;
    uint16_t maxPdu_ = 0;
    std::unique_ptr<BleService> service_;
    std::unique_ptr<BleCharacteristic> characteristic_;
};

// The transport of the product: the Windows Runtime one. The x86_64 test
// build also offers the simulated devices when QSTN_BLE_SIMULATED is set.
std::unique_ptr<BleTransport> DefaultBleTransport();

}  // namespace qs
