#include "ble/ble_worker.h"

#include <objbase.h>

#include <chrono>
#include <exception>

#include "ble/ble_name_filter.h"
#include "foundation/logger.h"
#include "foundation/text.h"

namespace qs {

BleWorker::BleWorker(TransportFactory makeTransport, SleepFn sleep)
    : makeTransport_(std::move(makeTransport)), sleep_(std::move(sleep)) {
    if (!sleep_) {
        sleep_ = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    }
}

BleWorker::~BleWorker() { StopWorker(); }

BleWorker& BleWorker::Instance() {
    static BleWorker worker([] { return DefaultBleTransport(); });
    return worker;
}

bool BleWorker::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_.joinable();
}

void BleWorker::StartWorker(HWND target, UINT messageId) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) return;
    target_ = target;
    messageId_ = messageId;
    stopRequested_ = false;
    cancelRequested_ = false;
    tasks_.clear();
    thread_ = std::thread([this] { ThreadMain(); });
}

void BleWorker::StopWorker() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        cancelRequested_ = true;
        target_ = nullptr;
        messageId_ = 0;
        tasks_.clear();
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable()) thread.join();
}

void BleWorker::Queue(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void BleWorker::StartScan(int durationMs) {
    const int duration = durationMs < 1000 ? 1000 : durationMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelRequested_ = true;
    }
    wake_.notify_all();
    Queue([this, duration] { ScanTask(duration); });
}

void BleWorker::ConnectDevice(uint64_t address, int32_t addressType) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelRequested_ = true;
    }
    wake_.notify_all();
    Queue([this, address, addressType] { ConnectTask(address, addressType); });
}

void BleWorker::ReadStatus() {
    Queue([this] { ReadTask(); });
}

void BleWorker::WriteCommand(const std::string& utf8) {
    Queue([this, utf8] { WriteTask(utf8); });
}

void BleWorker::ThreadMain() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        transport_ = makeTransport_ ? makeTransport_() : nullptr;
    } catch (...) {
        transport_.reset();
    }
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopRequested_ || !tasks_.empty(); });
            if (tasks_.empty()) break;  // stop requested and nothing left
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task();
        } catch (const BleTransportError& error) {
            if (error.noAdapter) {
                PostFailure(ErrNoAdapter);
            } else {
                PostFailure(ErrPlatform, error.text);
            }
        } catch (...) {
            PostFailure(ErrPlatform);
        }
    }
    try {
        Disconnect();
    } catch (...) {
    }
    transport_.reset();
    if (SUCCEEDED(com)) CoUninitialize();
}

void BleWorker::Post(std::unique_ptr<BleEvent> event) {
    HWND target = nullptr;
    UINT message = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target = target_;
        message = messageId_;
    }
    if (!target || !message) return;  // the record goes with the unique_ptr
    if (PostMessageW(target, message, 0, reinterpret_cast<LPARAM>(event.get()))) event.release();
}

void BleWorker::PostFailure(BleError code, const std::wstring& detail) {
    LogWarn(Format("BLE 操作失败：code=%d %s", static_cast<int>(code), WideToUtf8(detail).c_str()));
    auto event = std::make_unique<BleEvent>();
    event->eventKind = EvFailed;
    event->errorCode = code;
    event->detail = detail;
    Post(std::move(event));
}

void BleWorker::ScanTask(int durationMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelRequested_ = false;
    }
    auto finished = [this] {
        auto event = std::make_unique<BleEvent>();
        event->eventKind = EvScanFinished;
        Post(std::move(event));
    };
    // The scan always ends with EvScanFinished, so the dialog's buttons
    // come back whatever the platform did.
    bool adapter = false;
    try {
        adapter = transport_ && transport_->HasLowEnergyAdapter();
    } catch (...) {
        adapter = false;
    }
    if (!adapter) {
        PostFailure(ErrNoAdapter);
        finished();
        return;
    }
    const std::vector<std::wstring> prefixes = LoadBlePrefixes();
    bool started = false;
    std::wstring why;
    try {
        started = transport_->StartWatcher([this, prefixes](const BleAdvertisement& ad) {
            if (!PassesNameFilter(ad.localName, prefixes)) return;
            auto event = std::make_unique<BleEvent>();
            event->eventKind = EvDeviceFound;
            event->deviceAddress = ad.address;
            event->addressType = ad.addressType;
            event->deviceName = ad.localName;
            Post(std::move(event));
        });
    } catch (const BleTransportError& error) {
        why = error.text;
    }
    if (started) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs);
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, deadline, [this] { return stopRequested_ || cancelRequested_; });
        cancelRequested_ = false;
    } else {
        // A watcher that cannot start is a radio we cannot use.
        PostFailure(ErrNoAdapter, why);
    }
    try {
        transport_->StopWatcher();
    } catch (...) {
    }
    finished();
}

void BleWorker::ConnectTask(uint64_t address, int32_t addressType) {
    Disconnect();
    std::unique_ptr<BleDevice> device;
    if (transport_) {
        device = transport_->DeviceFromAddress(address, addressType, true);
        if (!device) device = transport_->DeviceFromAddress(address, addressType, false);
    }
    if (!device) {
        PostFailure(ErrDeviceNotFound);
        return;
    }
    device_ = std::move(device);
    handlerRegistered_ = device_->SetDisconnectedHandler([this] {
        auto event = std::make_unique<BleEvent>();
        event->eventKind = EvDisconnected;
        Post(std::move(event));
    });
    session_ = device_->OpenSession();
    if (session_) {
        session_->SetMaintainConnection(true);
        maxPdu_ = session_->MaxPduSize();
    }
    std::vector<std::unique_ptr<BleService>> services;
    if (!device_->Services(&services)) {
        Disconnect();
        PostFailure(ErrNoSetupService);
        return;
    }
    for (auto& service : services) {
        if (service->ShortId() != kProvisionServiceId) continue;
        std::vector<std::unique_ptr<BleCharacteristic>> characteristics;
        if (!service->Characteristics(&characteristics)) continue;
        for (auto& characteristic : characteristics) {
            if (characteristic->ShortId() == kProvisionCharacteristicId) {
                characteristic_ = std::move(characteristic);
                break;
            }
        }
        if (characteristic_) {
            service_ = std::move(service);
            break;
        }
    }
    services.clear();  // the services not kept are closed here
    if (!characteristic_) {
        Disconnect();
        PostFailure(ErrNoSetupService);
        return;
    }
    auto event = std::make_unique<BleEvent>();
    event->eventKind = EvConnected;
    std::wstring ignored;
    ReadStatusOnce(&event->deviceStatus, &ignored);
    Post(std::move(event));
}

bool BleWorker::ReadStatusOnce(ProvisionStatus* status, std::wstring* detail) {
    std::string bytes;
    try {
        if (!characteristic_->Read(&bytes)) bytes.clear();
    } catch (const BleTransportError& error) {
        *detail = error.text;
        return false;
    }
    ProvisionStatus parsed;
    if (!bytes.empty() && ParseStatus(bytes, &parsed)) {
        *status = std::move(parsed);
        return true;
    }
    *detail = Utf8ToWide(bytes);
    return false;
}

void BleWorker::ReadTask() {
    if (!characteristic_) {
        PostFailure(ErrNoSetupService);
        return;
    }
    auto event = std::make_unique<BleEvent>();
    std::wstring detail;
    if (!ReadStatusOnce(&event->deviceStatus, &detail)) {
        PostFailure(ErrReadFailed, detail);
        return;
    }
    event->eventKind = EvStatusRead;
    Post(std::move(event));
}

void BleWorker::WriteTask(const std::string& bytes) {
    if (!characteristic_) {
        PostFailure(ErrNoSetupService);
        return;
    }
    if (session_) {
        for (int round = 0; round < kPduRounds; ++round) {
            maxPdu_ = session_->MaxPduSize();
            if (PduSettled(maxPdu_, bytes.size())) break;
            sleep_(kPduPauseMs);
        }
    }
    int status = 0;
    try {
        status = characteristic_->Write(bytes);
    } catch (const BleTransportError& error) {
        PostFailure(static_cast<BleError>(ClassifyWriteFailure(maxPdu_, bytes.size())), error.text);
        return;
    }
    if (status != 0) {
        PostFailure(static_cast<BleError>(ClassifyWriteFailure(maxPdu_, bytes.size())),
                    FormatWide(L"GATT %d", status));
        return;
    }
    auto event = std::make_unique<BleEvent>();
    event->eventKind = EvWritten;
    Post(std::move(event));
}

void BleWorker::Disconnect() {
    if (device_ && handlerRegistered_) device_->RemoveDisconnectedHandler();
    handlerRegistered_ = false;
    characteristic_.reset();
    service_.reset();
    session_.reset();
    device_.reset();
    maxPdu_ = 0;
}

}  // namespace qs
