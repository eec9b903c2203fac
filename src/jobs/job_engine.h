// The job engine: takes spool files in as stored jobs. The job table is its
// queue; the engine keeps no job state of its own besides the tip.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/config_store.h"

namespace qs {

class CloudClient;
class LanDiscovery;

// Limits of one delivery; tests shorten them, the defaults are the product's.
struct DeliveryOptions {
    uint16_t device_port = 9100;      // raw printing port of a device
    int32_t connect_ms = 3000;        // direct connect limit
    int32_t send_stall_ms = 30000;    // direct send fails after this long without progress
    int32_t cloud_wait_ms = 20000;    // time for the cloud to confirm a submitted job
};

// The latest job announced to the tray.
struct JobTip {
    int64_t id = 0;
    std::string time;  // 2024-05-23 14:03:09
};

// What the engine works with; the core owns each of these. Callers set the
// members they need by name, so members added later leave them unchanged.
struct JobEngineDeps {
    ConfigStore* store = nullptr;
    CloudClient* cloud = nullptr;
    LanDiscovery* discovery = nullptr;
    // Milliseconds since 1970 UTC; empty means the system clock.
    std::function<int64_t()> nowMs;
    DeliveryOptions delivery;
    // Set when the service stops: a due pass and an attempt end between
    // their steps instead of running through the whole queue.
    const std::atomic<bool>* stop = nullptr;
    // Real-time interval at which the leases of running attempts are
    // renewed, well inside the lease so a long step never outlives it.
    int32_t leaseRenewMs = 20000;
};

class JobEngine {
public:
    static constexpr int64_t kJobRetentionMs = 86400000;       // 24 h
    static constexpr int64_t kContentKeyMaxRead = 8388608;     // 8 MiB

    explicit JobEngine(const JobEngineDeps& deps);
    ~JobEngine();
    JobEngine(const JobEngine&) = delete;
    JobEngine& operator=(const JobEngine&) = delete;

    // Stores the spool file as a pending job; 0 when nothing was stored. An
    // empty key is replaced by the content key, so the same file for the
    // same device is one job.
    int64_t EnqueueJob(const std::string& sn, const std::wstring& path, int32_t source,
                       const std::string& idem);
    static std::string MakeContentKey(const std::wstring& path, const std::string& sn,
                                      int32_t source);
    JobTip ReadJobTip() const;

    // Delivery of one job to one device: straight over the LAN when discovery
    // knows the device, otherwise (or when that fails) through the cloud. The
    // outcome is written as the device's target row; the job row is untouched.
    bool DeliverToDevice(const JobRecord& job, const std::string& sn, std::string& error);
    // 0 sent, -1 failed, -2 not connected within the connect limit.
    int32_t SendFileOverLan(const std::wstring& path, const std::string& ip, uint16_t port) const;
    int32_t SendBufferOverLan(const std::string& bytes, const std::string& ip,
                              uint16_t port) const;

    static constexpr int64_t kLeaseMs = 60000;
    static constexpr int32_t kMaxFailedAttempts = 8;
    static constexpr int64_t kBackoffFirstMs = 5000;
    static constexpr int64_t kBackoffMaxMs = 300000;
    static constexpr int32_t kDuePassLimit = 50;
    static constexpr int32_t kRecentJobsSearched = 200;

    // One delivery attempt of one job; true when it ended completed. A job
    // whose attempt already runs in this process is skipped, whatever its
    // lease says.
    bool ProcessJob(int64_t id, bool multi, const std::vector<DeviceRecord>& devices);
    std::vector<DeviceRecord> SelectTargets(const JobRecord& job, bool multi,
                                            const std::vector<DeviceRecord>& devices) const;
    // Settles a leased job after its deliveries and writes it (and with it
    // the end of the lease) only while the job is still this attempt's;
    // false when nothing was written.
    bool FinalizeJob(JobRecord& job, bool multi, const std::vector<DeviceRecord>& devices);
    // One pass of the delivery worker over the due jobs.
    void RunDuePass(int64_t nowMs, bool multi, const std::vector<DeviceRecord>& devices);
    // Only among the newest jobs; a retry renews the job's retention. False
    // for a job whose attempt is running right now (it would print twice).
    bool RetryJob(int64_t id, bool multi, const std::vector<DeviceRecord>& devices);
    // Final until a retry: a running attempt stops before its next device
    // and its outcome is not written; deliveries already made stay recorded.
    bool CancelJob(int64_t id);

private:
    int64_t NowMs() const;

    bool StopRequested() const;

    // Jobs whose attempt runs in this process now, with their lease tokens;
    // a renewer thread keeps their leases alive while any is held.
    class Hold;
    bool TryHold(int64_t id);
    void SetHeldToken(int64_t id, const std::string& token);
    void Unhold(int64_t id);
    void RenewHeldLeases();
    void RenewLoop();

    // The attempt after its claim; the job carries the lease token.
    bool RunAttempt(JobRecord& job, bool multi, const std::vector<DeviceRecord>& devices);
    // Writes the outcome under the attempt's lease; logs a refused write.
    LeasedWrite SettleLeased(const JobRecord& job);

    ConfigStore& store_;
    CloudClient* cloud_ = nullptr;
    LanDiscovery* discovery_ = nullptr;
    std::function<int64_t()> nowMs_;
    DeliveryOptions delivery_;
    const std::atomic<bool>* stop_ = nullptr;
    int32_t leaseRenewMs_;

    std::mutex heldMutex_;  // guards held_ and the renewer's state
    std::map<int64_t, std::string> held_;
    std::condition_variable renewWake_;
    std::thread renewer_;
    bool renewerRunning_ = false;
    bool quit_ = false;

    mutable std::mutex tipMutex_;
    JobTip tip_;
};

}  // namespace qs
