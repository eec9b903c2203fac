// The one owner of the SQLite database: schema, migrations and every table
// operation. The connection is shared by all threads of the core.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/records.h"

struct sqlite3;

namespace qs {

class ConfigStore {
public:
    // Milliseconds since 1970 UTC; tests replace it to move leases on.
    using Clock = std::function<int64_t()>;

    ConfigStore();
    ~ConfigStore();
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // Schema and statements.
    bool Open(const std::wstring& path);
    bool IsOpen() const { return db_ != nullptr; }
    bool Exec(const std::string& sql);
    bool AddColumnIfMissing(const std::string& table, const std::string& column,
                            const std::string& declaration);
    bool Migrate();

    // An empty clock restores the system clock.
    void SetClock(Clock clock);
    int64_t NowMs() const;

    // Devices.
    bool UpsertDevice(const DeviceRecord& device);
    std::vector<DeviceRecord> ListDevices();
    bool DeleteDevice(const std::string& sn);
    bool UpdateDeviceBinding(const std::string& sn, const std::string& printerDriver,
                             const std::string& prevPort);

    // Jobs and their per-device outcomes.
    int64_t InsertJob(const JobRecord& job);
    bool TryLeaseJob(int64_t id, int64_t leaseMs, JobRecord& out);
    std::vector<JobRecord> ListDueJobs(int64_t nowMs, int32_t limit);
    std::vector<JobRecord> ListRecentJobs(int32_t limit);
    std::vector<JobTargetRecord> ListJobTargets(int64_t jobId);
    bool UpsertJobTarget(int64_t jobId, const std::string& sn, int32_t state,
                         const std::string& error);
    bool UpdateJob(const JobRecord& job);
    bool ClearJobLease(int64_t id);
    // Extends a lease still held (processing, not yet settled) to leaseMs
    // from now; false when the job is no longer leased.
    bool RenewJobLease(int64_t id, int64_t leaseMs);
    int32_t PruneJobs(int32_t keep);

    // Settings.
    SettingsRecord LoadSettings();
    // False when the row could not be replaced; the old one then stays.
    bool SaveSettings(const SettingsRecord& settings);

private:
    bool ColumnExists(const std::string& sql, const std::string& name);

    sqlite3* db_ = nullptr;
    Clock clock_;
};

}  // namespace qs
