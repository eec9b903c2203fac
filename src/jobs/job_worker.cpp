// Attempts of a job: lease, expiry, targets, outcome with back-off; the
// delivery worker's due pass; the user's retry and cancel.
#include <cinttypes>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "jobs/job_engine.h"

namespace qs {
namespace {

// Gives up the attempt with a final reason; the rest of the row is kept.
void AbortJob(ConfigStore& store, JobRecord& job, const std::string& reason) {
    job.state = kJobAborted;
    job.error = reason;
    job.lease_until = 0;
    store.UpdateJob(job);
}

bool FindRecent(ConfigStore& store, int64_t id, JobRecord& out) {
    for (JobRecord& job : store.ListRecentJobs(JobEngine::kRecentJobsSearched)) {
        if (job.id == id) {
            out = std::move(job);
            return true;
        }
    }
    return false;
}

}  // namespace

// Marks a job as attempted by this process for as long as the attempt runs.
class JobEngine::HeldLease {
public:
    HeldLease(JobEngine& engine, int64_t id) : engine_(engine), id_(id) {
        std::lock_guard<std::mutex> lock(engine_.heldMutex_);
        engine_.held_.insert(id_);
    }
    ~HeldLease() {
        std::lock_guard<std::mutex> lock(engine_.heldMutex_);
        engine_.held_.erase(id_);
    }
    HeldLease(const HeldLease&) = delete;
    HeldLease& operator=(const HeldLease&) = delete;

private:
    JobEngine& engine_;
    int64_t id_;
};

bool JobEngine::StopRequested() const { return stop_ && stop_->load(); }

bool JobEngine::IsHeld(int64_t id) const {
    std::lock_guard<std::mutex> lock(heldMutex_);
    return held_.count(id) != 0;
}

void JobEngine::RenewHeldLeases() {
    std::set<int64_t> ids;
    {
        std::lock_guard<std::mutex> lock(heldMutex_);
        ids = held_;
    }
    for (int64_t id : ids) store_.RenewJobLease(id, kLeaseMs);
}

bool JobEngine::ProcessJob(int64_t id, bool multi, const std::vector<DeviceRecord>& devices) {
    JobRecord job;
    if (!store_.TryLeaseJob(id, kLeaseMs, job)) {
        LogDebug("跳过作业 " + std::to_string(id) + "（已被占用或已终态）");
        return false;
    }
    const HeldLease holding(*this, id);

    if (job.expires_at > 0 && NowMs() > job.expires_at) {
        AbortJob(store_, job, "作业已过期（超过保留时限）");
        return false;
    }
    if (!FileExists(Utf8ToWide(job.path))) {
        AbortJob(store_, job, "源文件已丢失");
        return false;
    }
    const std::vector<DeviceRecord> targets = SelectTargets(job, multi, devices);
    if (targets.empty()) {
        AbortJob(store_, job, "没有匹配的设备");
        LogWarn("作业没有匹配的设备 id=" + std::to_string(id) + " sn=" + job.sn);
        return false;
    }

    const std::vector<JobTargetRecord> rows = store_.ListJobTargets(id);
    for (const DeviceRecord& device : targets) {
        if (StopRequested()) {
            // A stop between devices leaves the attempt uncounted: the job
            // goes back to the queue as it was and the next start serves the
            // devices that have not got it yet.
            job.state = kJobPending;
            job.lease_until = 0;
            store_.UpdateJob(job);
            LogDebug("服务停止，作业留待下次 id=" + std::to_string(id));
            return false;
        }
        bool delivered = false;
        for (const JobTargetRecord& row : rows) {
            if (row.sn == device.sn && row.state == kTargetDelivered) delivered = true;
        }
        if (delivered) continue;
        std::string error;
        DeliverToDevice(job, device.sn, error);
    }

    // The outcome's write already ends the lease; the separate clear is
    // for when that write failed.
    if (!FinalizeJob(job, multi, devices)) store_.ClearJobLease(id);
    return job.state == kJobCompleted;
}

std::vector<DeviceRecord> JobEngine::SelectTargets(const JobRecord& job, bool multi,
                                                   const std::vector<DeviceRecord>& devices) const {
    if (multi) return devices;
    for (const DeviceRecord& device : devices) {
        if (device.sn == job.sn) return {device};
    }
    return {};
}

bool JobEngine::FinalizeJob(JobRecord& job, bool multi, const std::vector<DeviceRecord>& devices) {
    const size_t wanted = SelectTargets(job, multi, devices).size();
    size_t done = 0;
    std::string lastError;
    for (const JobTargetRecord& row : store_.ListJobTargets(job.id)) {
        if (row.state == kTargetDelivered) ++done;
        if (row.state == kTargetFailed) lastError = row.error;
    }

    if (wanted >= 1 && done >= wanted) {
        job.state = kJobCompleted;
        job.error.clear();
        job.next_retry_at = 0;
        job.lease_until = 0;
    } else {
        ++job.retries;
        job.error = lastError;
        job.lease_until = 0;
        if (job.retries < kMaxFailedAttempts) {
            int64_t delay = kBackoffFirstMs;
            for (int32_t i = 1; i < job.retries && delay < kBackoffMaxMs; ++i) delay *= 2;
            if (delay > kBackoffMaxMs) delay = kBackoffMaxMs;
            job.state = kJobPending;
            job.next_retry_at = NowMs() + delay;
            LogWarn("作业将重试 id=" + std::to_string(job.id) + " 第 " +
                    std::to_string(job.retries) + " 次，退避 " + std::to_string(delay / 1000) + "s");
        } else {
            job.state = kJobAborted;
            job.next_retry_at = 0;
            LogError("作业最终失败 id=" + std::to_string(job.id) + " 重试 " +
                     std::to_string(job.retries) + " 次");
        }
    }
    return store_.UpdateJob(job);
}

void JobEngine::RunDuePass(int64_t nowMs, bool multi, const std::vector<DeviceRecord>& devices) {
    RenewHeldLeases();
    for (JobRecord& job : store_.ListDueJobs(nowMs, kDuePassLimit)) {
        if (StopRequested()) return;
        if (job.expires_at > 0 && job.expires_at < nowMs) {
            job.state = kJobAborted;
            job.error = "作业已过期";
            store_.UpdateJob(job);
        } else if (job.retries < kMaxFailedAttempts) {
            ProcessJob(job.id, multi, devices);
        } else {
            job.state = kJobAborted;
            store_.UpdateJob(job);
        }
    }
}

bool JobEngine::RetryJob(int64_t id, bool multi, const std::vector<DeviceRecord>& devices) {
    JobRecord job;
    if (IsHeld(id) || !FindRecent(store_, id, job)) return false;
    job.state = kJobPending;
    job.retries = 0;
    job.next_retry_at = 0;
    job.lease_until = 0;
    store_.UpdateJob(job);
    // UpdateJob leaves expires_at alone; the renewed retention is its own
    // statement. Both values are integers, so formatting them in is safe.
    store_.Exec(Format("UPDATE job SET expires_at=%" PRId64 " WHERE id=%" PRId64,
                       NowMs() + kJobRetentionMs, id));
    return ProcessJob(id, multi, devices);
}

bool JobEngine::CancelJob(int64_t id) {
    JobRecord job;
    if (!FindRecent(store_, id, job)) return false;
    job.state = kJobCanceled;
    job.next_retry_at = 0;
    job.lease_until = 0;
    return store_.UpdateJob(job);
}

}  // namespace qs
