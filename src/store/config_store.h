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
    // The first column of the first row of a query as an integer (a pragma,
    // a count); `fallback` when there is none.
    int64_t QueryInt(const std::string& sql, int64_t fallback);
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

    // Writes of one attempt, fenced by the lease it took (job.lease_token):
    // each lands only while the row is still processing under that lease, so
    // a cancel, a retry or another claim in between is never overwritten.
    //
    // Extends the lease to leaseMs from now; false when the row is no
    // longer this lease's (or the statement failed).
    bool RenewJobLease(int64_t id, const std::string& token, int64_t leaseMs);
    // The outcome columns of UpdateJob, and the end of the lease.
    LeasedWrite UpdateLeasedJob(const JobRecord& job);
    // Ends the lease and leaves the row processing (a failed outcome write).
    bool ReleaseJobLease(int64_t id, const std::string& token);
    // A device's outcome. A delivery is recorded whatever the job row says:
    // the device has the receipt, and a later attempt must not send it
    // again. A failure is recorded only under the lease and never replaces
    // a delivery.
    bool RecordJobTarget(int64_t jobId, const std::string& token, const std::string& sn,
                         int32_t state, const std::string& error);
    // The user's retry in one statement: among the `searched` newest jobs,
    // when no lease is running, resets the attempt count, renews the expiry
    // and leases the job for this retry's attempt. False when the job is not
    // among them or another attempt holds it.
    bool ClaimJobForRetry(int64_t id, int32_t searched, int64_t expiresAt, int64_t leaseMs,
                          JobRecord& out);
    // The user's cancel in one statement, among the `searched` newest jobs;
    // it ends any lease, so the running attempt's later writes are refused.
    bool CancelJob(int64_t id, int32_t searched);
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
