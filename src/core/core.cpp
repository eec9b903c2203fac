#include "core/core.h"

#include <windows.h>

#include "foundation/data_paths.h"
#include "foundation/fault_point.h"
#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "foundation/time_util.h"
#include "printers/print_system.h"

namespace qs {
namespace {

CloudClient::Options CloudOptions(const CoreOptions& core, ConfigStore& store) {
    CloudClient::Options o;
    o.baseUrl = core.cloudBaseUrl;
    o.now = core.nowMs;
    o.sleep = core.cloudSleep;
    // The cloud reads a device's code from the table, never from the core's
    // list, so it needs no core lock.
    o.storedCode = [&store](const std::string& sn) {
        for (const DeviceRecord& d : store.ListDevices())
            if (d.sn == sn) return d.crc;
        return std::string();
    };
    return o;
}

JobEngineDeps EngineDeps(const CoreOptions& core, ConfigStore& store, CloudClient& cloud,
                         LanDiscovery& discovery, const std::atomic<bool>& stopping) {
    JobEngineDeps deps;
    deps.store = &store;
    deps.cloud = &cloud;
    deps.discovery = &discovery;
    deps.nowMs = core.nowMs;
    deps.delivery = core.delivery;
    deps.stop = &stopping;
    return deps;
}

LanDiscoveryOptions DiscoveryOptions(const CoreOptions& core) {
    LanDiscoveryOptions o = core.discovery;
    if (!o.clock) o.clock = core.nowMs;
    return o;
}

void JoinUnlessSelf(std::thread& t) {
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id()) {
        t.detach();
    } else {
        t.join();
    }
}

}  // namespace

Core& Core::Instance() {
    static Core core;
    return core;
}

Core::Core(CoreOptions options)
    : options_(std::move(options)),
      cloud_(CloudOptions(options_, store_)),
      discovery_([this] { OnDiscoveryChange(); }, DiscoveryOptions(options_)),
      jobs_(EngineDeps(options_, store_, cloud_, discovery_, stopping_)) {
    if (options_.nowMs) store_.SetClock(options_.nowMs);
    if (options_.printSystem) SetPrintSystem(options_.printSystem);
}

Core::~Core() {
    Stop();
    if (options_.printSystem && &ActivePrintSystem() == options_.printSystem)
        SetPrintSystem(nullptr);
}

int64_t Core::NowMs() const { return options_.nowMs ? options_.nowMs() : NowEpochMs(); }

bool Core::Start(bool serviceMode) {
    std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
    if (running_) return true;
    serviceMode_ = serviceMode;

    if (options_.dataRoot.empty()) {
        InitDataRoot(serviceMode);
    } else {
        SetDataRoot(options_.dataRoot);
    }
    Logger::Instance().Open(LogsDir(), kInfo, 4194304, 14);
    if (!store_.Open(DatabasePath())) {
        LogError("数据库打开失败，进程退出");
        return false;
    }

    size_t deviceCount = 0;
    {
        std::lock_guard<std::mutex> lock(devicesLock_);
        devices_ = store_.ListDevices();
        for (const DeviceRecord& d : devices_) StartListener(d);
        deviceCount = devices_.size();
    }

    discovery_.Start();

    running_ = true;
    stopping_ = false;
    deliveries_.Start();
    statusThread_ = std::thread([this] {
        RunPeriodic(options_.statusIntervalMs, [this] { RefreshDeviceStatus(); });
    });
    workerThread_ = std::thread([this] {
        RunPeriodic(options_.workerIntervalMs, [this] {
            std::vector<DeviceRecord> snapshot = SnapshotDevices();
            SettingsRecord settings = store_.LoadSettings();
            jobs_.RunDuePass(NowMs(), settings.multi, snapshot);
        });
    });
    cleanupThread_ = std::thread([this] {
        RunPeriodic(options_.cleanupIntervalMs, [this] { RunCleanup(); });
    });

    LogInfo("核心已启动（" + WideToUtf8(OsVersionText()) + "），设备 " +
            std::to_string(deviceCount) + " 台");
    RefreshDeviceStatus();
    return true;
}

void Core::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
    if (!running_) return;
    {
        std::lock_guard<std::mutex> wait(waitLock_);
        stopping_ = true;
        running_ = false;
    }
    waitWake_.notify_all();
    JoinUnlessSelf(statusThread_);
    JoinUnlessSelf(workerThread_);
    JoinUnlessSelf(cleanupThread_);

    discovery_.Stop();

    // A connection being handled may be waiting for devicesLock_ in
    // OnPrintData, and a listener's Stop waits for its connections: take the
    // listeners out under the lock, stop them after releasing it.
    std::map<int32_t, std::unique_ptr<PortListener>> listeners;
    {
        std::lock_guard<std::mutex> lock(devicesLock_);
        listeners.swap(listeners_);
    }
    for (auto& entry : listeners) entry.second->Stop();
    listeners.clear();
    // After the listeners, so no connection hands over a job once the pool
    // is gone; an attempt in progress sees stopping_ between its steps.
    deliveries_.Stop();

    LogInfo("核心已停止");
    Logger::Instance().Close();
}

void Core::RunPeriodic(int64_t intervalMs, const std::function<void()>& work) {
    for (;;) {
        {
            std::unique_lock<std::mutex> wait(waitLock_);
            if (waitWake_.wait_for(wait, std::chrono::milliseconds(intervalMs),
                                   [this] { return stopping_.load(); }))
                return;
        }
        try {
            work();
        } catch (...) {
            // One failed turn must not end the thread; the next turn retries.
        }
    }
}

void Core::StartListener(const DeviceRecord& device) {
    if (device.port < 1) return;
    if (listeners_.count(device.port)) return;
    auto listener = std::make_unique<PortListener>(
        device.port,
        [this](const std::wstring& path, int32_t port) { return OnPrintData(path, port); });
    if (!listener->Start()) {
        LogError("监听启动失败，该设备将只能走云端：端口 " + std::to_string(device.port));
        return;
    }
    listeners_.emplace(device.port, std::move(listener));
}

bool Core::OnPrintData(const std::wstring& path, int32_t port) {
    DeviceRecord device;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(devicesLock_);
        for (const DeviceRecord& d : devices_) {
            if (d.port == port) {
                device = d;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        LogWarn("收到数据但找不到对应设备，端口 " + std::to_string(port));
        return false;
    }
    const int64_t id = jobs_.EnqueueJob(device.sn, path, 0, NewId());
    if (id == 0) return false;
    FaultPoint("row-committed");
    // The connection thread only stores; delivery waits on no sender. When
    // the pool cannot take it, the worker's next pass attempts the job.
    if (!deliveries_.Submit(id)) LogDebug("作业留待投递线程 id=" + std::to_string(id));
    return true;
}

void Core::AttemptCaptured(int64_t id) {
    if (stopping_.load()) return;
    std::vector<DeviceRecord> snapshot = SnapshotDevices();
    SettingsRecord settings = store_.LoadSettings();
    jobs_.ProcessJob(id, settings.multi, snapshot);
}

std::vector<DeviceRecord> Core::SnapshotDevices() {
    std::lock_guard<std::mutex> lock(devicesLock_);
    return devices_;
}

DeviceRecord Core::FindDevice(const std::string& sn) {
    std::lock_guard<std::mutex> lock(devicesLock_);
    for (const DeviceRecord& d : devices_)
        if (d.sn == sn) return d;
    return DeviceRecord();
}

SettingsRecord Core::GetSettings() { return store_.LoadSettings(); }

bool Core::SaveSettings(const SettingsRecord& settings) { return store_.SaveSettings(settings); }

std::vector<JobRecord> Core::ListJobs(int32_t count) { return store_.ListRecentJobs(count); }

JobTip Core::GetJobTip() const { return jobs_.ReadJobTip(); }

bool Core::RetryJob(int64_t id) {
    std::vector<DeviceRecord> snapshot = SnapshotDevices();
    SettingsRecord settings = store_.LoadSettings();
    return jobs_.RetryJob(id, settings.multi, snapshot);
}

bool Core::CancelJob(int64_t id) { return jobs_.CancelJob(id); }

}  // namespace qs
