// Attempts of a job: lease, expiry, targets, outcome with back-off; the
// delivery worker's due pass; the user's retry and cancel.
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "jobs/job_engine.h"

namespace qs {

// Marks a job as attempted by this process for as long as the attempt runs;
// a second attempt of the same job here is refused while it stands.
class JobEngine::Hold {
public:
    Hold(JobEngine& engine, int64_t id) : engine_(engine), id_(id), owned_(engine.TryHold(id)) {}
    ~Hold() {
        if (owned_) engine_.Unhold(id_);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    bool owned() const { return owned_; }
    // From here on the renewer keeps this lease alive.
    void Leased(const std::string& token) { engine_.SetHeldToken(id_, token); }

private:
    JobEngine& engine_;
    int64_t id_;
    bool owned_;
};

JobEngine::~JobEngine() {
    {
        std::lock_guard<std::mutex> lock(heldMutex_);
        quit_ = true;
    }
    renewWake_.notify_all();
    if (renewer_.joinable()) renewer_.join();
}

bool JobEngine::StopRequested() const { return stop_ && stop_->load(); }

bool JobEngine::TryHold(int64_t id) {
    std::lock_guard<std::mutex> lock(heldMutex_);
    return held_.emplace(id, std::string()).second;
}

void JobEngine::SetHeldToken(int64_t id, const std::string& token) {
    std::lock_guard<std::mutex> lock(heldMutex_);
    held_[id] = token;
    if (renewerRunning_ || quit_) return;
    // A renewer that found nothing to renew has ended or is ending; it
    // takes no lock on its way out, so joining it here cannot wait on us.
    if (renewer_.joinable()) renewer_.join();
    try {
        renewer_ = std::thread(&JobEngine::RenewLoop, this);
        renewerRunning_ = true;
    } catch (...) {
        // Without the thread the attempt still renews between its devices.
    }
}

void JobEngine::Unhold(int64_t id) {
    std::lock_guard<std::mutex> lock(heldMutex_);
    held_.erase(id);
}

void JobEngine::RenewHeldLeases() {
    std::vector<std::pair<int64_t, std::string>> leases;
    {
        std::lock_guard<std::mutex> lock(heldMutex_);
        for (const auto& held : held_) {
            if (!held.second.empty()) leases.push_back(held);
        }
    }
    // A lease settled meanwhile has lost its token in the row: no change.
    for (const auto& lease : leases) store_.RenewJobLease(lease.first, lease.second, kLeaseMs);
}

void JobEngine::RenewLoop() {
    std::unique_lock<std::mutex> lock(heldMutex_);
    for (;;) {
        renewWake_.wait_for(lock, std::chrono::milliseconds(leaseRenewMs_), [this] { return quit_; });
        if (quit_ || held_.empty()) {
            renewerRunning_ = false;
            return;
        }
        lock.unlock();
        try {
            RenewHeldLeases();
        } catch (...) {
            // One failed round must not end the renewals.
        }
        lock.lock();
    }
}

LeasedWrite JobEngine::SettleLeased(const JobRecord& job) {
    const LeasedWrite result = store_.UpdateLeasedJob(job);
    if (result == LeasedWrite::kLost) {
        LogWarn("作业已被取消或被接管，本次结果未写入 id=" + std::to_string(job.id));
    }
    return result;
}

bool JobEngine::ProcessJob(int64_t id, bool multi, const std::vector<DeviceRecord>& devices) {
    Hold hold(*this, id);
    JobRecord job;
    if (!hold.owned() || !store_.TryLeaseJob(id, kLeaseMs, job)) {
        LogDebug("跳过作业 " + std::to_string(id) + "（已被占用或已终态）");
        return false;
    }
    hold.Leased(job.lease_token);
    return RunAttempt(job, multi, devices);
}

bool JobEngine::RunAttempt(JobRecord& job, bool multi, const std::vector<DeviceRecord>& devices) {
    const int64_t id = job.id;
    auto abort = [&](const std::string& reason) {
        job.state = kJobAborted;
        job.error = reason;
        job.lease_until = 0;
        return SettleLeased(job) == LeasedWrite::kWritten;
    };

    if (job.expires_at > 0 && NowMs() > job.expires_at) {
        abort("作业已过期（超过保留时限）");
        return false;
    }
    if (!FileExists(Utf8ToWide(job.path))) {
        abort("源文件已丢失");
        return false;
    }
    const std::vector<DeviceRecord> targets = SelectTargets(job, multi, devices);
    if (targets.empty()) {
        if (abort("没有匹配的设备")) {
            LogWarn("作业没有匹配的设备 id=" + std::to_string(id) + " sn=" + job.sn);
        }
        return false;
    }

    const std::vector<JobTargetRecord> rows = store_.ListJobTargets(id);
    for (const DeviceRecord& device : targets) {
        bool delivered = false;
        for (const JobTargetRecord& row : rows) {
            if (row.sn == device.sn && row.state == kTargetDelivered) delivered = true;
        }
        if (delivered) continue;
        if (StopRequested()) {
            // A stop between devices leaves the attempt uncounted: the job
            // goes back to the queue as it was and the next start serves the
            // devices that have not got it yet.
            job.state = kJobPending;
            job.lease_until = 0;
            SettleLeased(job);
            LogDebug("服务停止，作业留待下次 id=" + std::to_string(id));
            return false;
        }
        // Renewing doubles as the check that the job is still this
        // attempt's: a cancel (or a claim elsewhere after a lapse) ends it
        // here, before another device prints it.
        if (!store_.RenewJobLease(id, job.lease_token, kLeaseMs)) {
            LogWarn("作业已被取消或被接管，停止本次投递 id=" + std::to_string(id));
            return false;
        }
        std::string error;
        DeliverToDevice(job, device.sn, error);
    }

    // The outcome's write already ends the lease; the separate release is
    // for when that write failed (not when the job is no longer ours).
    if (!FinalizeJob(job, multi, devices)) {
        store_.ReleaseJobLease(id, job.lease_token);
        return false;
    }
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

    int64_t delay = 0;
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
            delay = kBackoffFirstMs;
            for (int32_t i = 1; i < job.retries && delay < kBackoffMaxMs; ++i) delay *= 2;
            if (delay > kBackoffMaxMs) delay = kBackoffMaxMs;
            job.state = kJobPending;
            job.next_retry_at = NowMs() + delay;
        } else {
            job.state = kJobAborted;
            job.next_retry_at = 0;
        }
    }
    if (SettleLeased(job) != LeasedWrite::kWritten) return false;
    if (job.state == kJobPending) {
        LogWarn("作业将重试 id=" + std::to_string(job.id) + " 第 " + std::to_string(job.retries) +
                " 次，退避 " + std::to_string(delay / 1000) + "s");
    } else if (job.state == kJobAborted) {
        LogError("作业最终失败 id=" + std::to_string(job.id) + " 重试 " +
                 std::to_string(job.retries) + " 次");
    }
    return true;
}

void JobEngine::RunDuePass(int64_t nowMs, bool multi, const std::vector<DeviceRecord>& devices) {
    RenewHeldLeases();
    for (const JobRecord& due : store_.ListDueJobs(nowMs, kDuePassLimit)) {
        if (StopRequested()) return;
        const bool expired = due.expires_at > 0 && due.expires_at < nowMs;
        if (!expired && due.retries < kMaxFailedAttempts) {
            ProcessJob(due.id, multi, devices);
            continue;
        }
        // Settling a job the pass will not attempt takes the lease too, so
        // it never overwrites a running attempt or a cancel made since the
        // list was read.
        Hold hold(*this, due.id);
        JobRecord job;
        if (!hold.owned() || !store_.TryLeaseJob(due.id, kLeaseMs, job)) continue;
        job.state = kJobAborted;
        if (expired) job.error = "作业已过期";
        job.lease_until = 0;
        SettleLeased(job);
    }
}

bool JobEngine::RetryJob(int64_t id, bool multi, const std::vector<DeviceRecord>& devices) {
    Hold hold(*this, id);
    JobRecord job;
    if (!hold.owned() || !store_.ClaimJobForRetry(id, kRecentJobsSearched,
                                                  NowMs() + kJobRetentionMs, kLeaseMs, job)) {
        LogDebug("重试未执行 id=" + std::to_string(id) + "（不在最近作业中或正在投递）");
        return false;
    }
    hold.Leased(job.lease_token);
    return RunAttempt(job, multi, devices);
}

bool JobEngine::CancelJob(int64_t id) { return store_.CancelJob(id, kRecentJobsSearched); }

}  // namespace qs
