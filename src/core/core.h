// The print engine: owns the store, the cloud client, LAN discovery, the job
// engine, the bound devices and one loopback listener per device port, and
// runs the status, delivery and clean-up threads.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/port_listener.h"
#include "cloud/cloud_client.h"
#include "core/delivery_pool.h"
#include "jobs/job_engine.h"
#include "jobs/lan_discovery.h"
#include "printers/health.h"
#include "store/config_store.h"

namespace qs {

class PrintSystem;

// What a test changes to run a core of its own; the defaults are the
// product's and production code never sets any of them.
struct CoreOptions {
    std::wstring dataRoot;            // empty: InitDataRoot(serviceMode)
    std::string cloudBaseUrl;         // empty: the build's cloud origin
    LanDiscoveryOptions discovery;
    DeliveryOptions delivery;
    std::function<int64_t()> nowMs;   // empty: NowEpochMs
    CloudClient::Sleeper cloudSleep;  // empty: real pauses between job polls
    int64_t statusIntervalMs = 120000;
    int64_t workerIntervalMs = 15000;
    int64_t cleanupIntervalMs = 3600000;
    PrintSystem* printSystem = nullptr;  // null: the machine's spooler and WMI
    std::function<bool()> isElevated;    // empty: IsElevated
};

class Core {
public:
    static Core& Instance();

    explicit Core(CoreOptions options = {});
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    bool Start(bool serviceMode);
    void Stop();
    bool IsRunning() const { return running_.load(); }

    // Stores the spool file as a job of the device that owns the port and
    // hands its first attempt to the delivery pool; true once the job row is
    // committed (the listener then acknowledges the sender).
    bool OnPrintData(const std::wstring& path, int32_t port);
    std::vector<DeviceRecord> SnapshotDevices();
    DeviceRecord FindDevice(const std::string& sn);

    // Device status monitor.
    void RefreshDeviceStatus();
    void OnDiscoveryChange();

    // Disk and history clean-up.
    void RunCleanup();
    // Deletes the files (not folders) older than maxAgeMs; the count tried.
    int32_t SweepOldFiles(const std::wstring& folder, int64_t maxAgeMs);

    // Device operations.
    CloudResult AddDevice(const std::string& sn, const std::string& verifyCode,
                          const std::string& name, const std::string& media, int32_t widthMm,
                          int32_t heightMm);
    // A port in [max(first, 39100), 39100 + count) that a loopback bind gets,
    // else one from the clock range above 40100, else 39100.
    int32_t FindFreePort(int32_t first, int32_t count);
    // error gets "" on success or the refusal's text.
    HealthReport BindPrinter(const std::string& sn, const std::string& printer,
                             std::string& error);
    HealthReport RepairDevice(const std::string& sn);
    bool TestPrint(const std::string& sn);
    bool RemoveDevice(const std::string& sn);
    CloudResult SubmitDocument(const std::wstring& path);
    // The ESC/POS test page, stamped with the given local time text.
    static std::string TestPage(const std::string& timestamp);

    // Writes a fresh report folder below the data folder; the report's path.
    std::string BuildDiagnostics();

    SettingsRecord GetSettings();
    // False when the store could not save them.
    bool SaveSettings(const SettingsRecord& settings);
    std::vector<JobRecord> ListJobs(int32_t count);
    JobTip GetJobTip() const;
    bool RetryJob(int64_t id);
    bool CancelJob(int64_t id);

    ConfigStore& Store() { return store_; }
    CloudClient& Cloud() { return cloud_; }
    LanDiscovery& Discovery() { return discovery_; }
    JobEngine& Jobs() { return jobs_; }

private:
    // Caller holds devicesLock_.
    void StartListener(const DeviceRecord& device);
    // Runs work intervalMs after the previous turn ended, until stop; an
    // exception of one turn is dropped.
    void RunPeriodic(int64_t intervalMs, const std::function<void()>& work);
    // The first attempt of a captured job, on a pool thread.
    void AttemptCaptured(int64_t id);
    int64_t NowMs() const;
    bool Elevated() const;

    CoreOptions options_;
    std::atomic<bool> stopping_{false};  // also read by the job engine
    ConfigStore store_;
    CloudClient cloud_;
    LanDiscovery discovery_;
    JobEngine jobs_;

    std::mutex devicesLock_;
    std::vector<DeviceRecord> devices_;
    std::map<int32_t, std::unique_ptr<PortListener>> listeners_;

    std::mutex lifecycleLock_;  // Start and Stop, one at a time
    std::atomic<bool> running_{false};
    std::atomic<bool> serviceMode_{false};  // the data root is admins-only
    std::mutex waitLock_;
    std::condition_variable waitWake_;
    std::thread statusThread_;
    std::thread workerThread_;
    std::thread cleanupThread_;
    DeliveryPool deliveries_{[this](int64_t id) { AttemptCaptured(id); }};
};

}  // namespace qs
