#include <sqlite3.h>

#include "foundation/ids.h"
#include "foundation/time_util.h"
#include "store/config_store.h"
#include "store/sql_statement.h"

namespace qs {

namespace {

const std::string kJobColumns =
    "id,sn,path,source,state,retries,error,idem,next_retry_at,expires_at,lease_until,"
    "created_at,updated_at";

JobRecord ReadJob(const Statement& st) {
    JobRecord job;
    job.id = st.ColumnInt64(0);
    job.sn = st.ColumnText(1);
    job.path = st.ColumnText(2);
    job.source = st.ColumnInt(3);
    job.state = st.ColumnInt(4);
    job.retries = st.ColumnInt(5);
    job.error = st.ColumnText(6);
    job.idem = st.ColumnText(7);
    job.next_retry_at = st.ColumnInt64(8);
    job.expires_at = st.ColumnInt64(9);
    job.lease_until = st.ColumnInt64(10);
    job.created_at = st.ColumnText(11);
    job.updated_at = st.ColumnText(12);
    return job;
}

}  // namespace

int64_t ConfigStore::InsertJob(const JobRecord& job) {
    if (!job.idem.empty()) {
        Statement find(db_, "SELECT id FROM job WHERE idem=?");
        if (find.ok()) {
            find.BindText(1, job.idem);
            if (find.StepRow()) {
                int64_t existing = find.ColumnInt64(0);
                if (existing != 0) return existing;
            }
        }
    }

    Statement st(db_,
                 "INSERT INTO job (sn,path,source,state,retries,error,idem,next_retry_at,"
                 "expires_at,lease_until,created_at,updated_at) "
                 "VALUES (?,?,?,?,0,'',?,0,?,0,?,?)");
    if (!st.ok()) return 0;
    const std::string now = LocalTimestamp();
    st.BindText(1, job.sn);
    st.BindText(2, job.path);
    st.BindInt(3, job.source);
    st.BindInt(4, kJobPending);
    st.BindText(5, job.idem);
    st.BindInt64(6, job.expires_at);
    st.BindText(7, now);
    st.BindText(8, now);
    // The row id must be this insert's, not another thread's.
    DbLock lock(db_);
    if (!st.StepDone()) return 0;
    return static_cast<int64_t>(sqlite3_last_insert_rowid(db_));
}

bool ConfigStore::TryLeaseJob(int64_t id, int64_t leaseMs, JobRecord& out) {
    const int64_t now = NowMs();
    // The row comes back only when this UPDATE won the lease, so two threads
    // can never both hold the job (a double print) nor neither. The fresh
    // token tells this lease from any later one, whatever their times.
    Statement st(db_,
                 "UPDATE job SET state=1, lease_until=?, lease_token=?, updated_at=? WHERE id=? "
                 "AND state IN (0,1) AND (lease_until=0 OR lease_until<?) RETURNING " +
                     kJobColumns + ",lease_token");
    if (!st.ok()) return false;
    st.BindInt64(1, now + leaseMs);
    st.BindText(2, NewId());
    st.BindText(3, LocalTimestamp());
    st.BindInt64(4, id);
    st.BindInt64(5, now);
    if (!st.StepRow()) return false;
    JobRecord leased = ReadJob(st);
    leased.lease_token = st.ColumnText(13);
    // The change is committed when the statement completes.
    if (!st.StepDone()) return false;
    out = std::move(leased);
    return true;
}

std::vector<JobRecord> ConfigStore::ListDueJobs(int64_t nowMs, int32_t limit) {
    std::vector<JobRecord> jobs;
    Statement st(db_, "SELECT " + kJobColumns +
                          " FROM job WHERE state IN (0,1) AND (next_retry_at=0 OR "
                          "next_retry_at<=?) ORDER BY id LIMIT ?");
    if (!st.ok()) return jobs;
    st.BindInt64(1, nowMs);
    st.BindInt(2, limit);
    while (st.StepRow()) jobs.push_back(ReadJob(st));
    return jobs;
}

std::vector<JobRecord> ConfigStore::ListRecentJobs(int32_t limit) {
    std::vector<JobRecord> jobs;
    {
        Statement st(db_, "SELECT " + kJobColumns + " FROM job ORDER BY id DESC LIMIT ?");
        if (!st.ok()) return jobs;
        st.BindInt(1, limit);
        while (st.StepRow()) jobs.push_back(ReadJob(st));
    }
    for (JobRecord& job : jobs) job.targets = ListJobTargets(job.id);
    return jobs;
}

std::vector<JobTargetRecord> ConfigStore::ListJobTargets(int64_t jobId) {
    std::vector<JobTargetRecord> targets;
    Statement st(db_, "SELECT sn, state, error FROM job_target WHERE job_id=?");
    if (!st.ok()) return targets;
    st.BindInt64(1, jobId);
    while (st.StepRow()) {
        JobTargetRecord t;
        t.sn = st.ColumnText(0);
        t.state = st.ColumnInt(1);
        t.error = st.ColumnText(2);
        targets.push_back(std::move(t));
    }
    return targets;
}

bool ConfigStore::UpsertJobTarget(int64_t jobId, const std::string& sn, int32_t state,
                                  const std::string& error) {
    Statement st(db_,
                 "INSERT OR REPLACE INTO job_target (job_id, sn, state, error, updated_at) "
                 "VALUES (?,?,?,?,?)");
    if (!st.ok()) return false;
    st.BindInt64(1, jobId);
    st.BindText(2, sn);
    st.BindInt(3, state);
    st.BindText(4, error);
    st.BindText(5, LocalTimestamp());
    return st.StepDone();
}

bool ConfigStore::UpdateJob(const JobRecord& job) {
    Statement st(db_,
                 "UPDATE job SET state=?, retries=?, error=?, next_retry_at=?, lease_until=?, "
                 "updated_at=? WHERE id=?");
    if (!st.ok()) return false;
    st.BindInt(1, job.state);
    st.BindInt(2, job.retries);
    st.BindText(3, job.error);
    st.BindInt64(4, job.next_retry_at);
    st.BindInt64(5, job.lease_until);
    st.BindText(6, LocalTimestamp());
    st.BindInt64(7, job.id);
    return st.StepDone();
}

bool ConfigStore::RenewJobLease(int64_t id, const std::string& token, int64_t leaseMs) {
    // Rows from before tokens carry an empty one; no lease may match them.
    if (token.empty()) return false;
    Statement st(db_, "UPDATE job SET lease_until=? WHERE id=? AND state=1 AND lease_token=?");
    if (!st.ok()) return false;
    st.BindInt64(1, NowMs() + leaseMs);
    st.BindInt64(2, id);
    st.BindText(3, token);
    DbLock lock(db_);
    return st.StepDone() && sqlite3_changes(db_) == 1;
}

LeasedWrite ConfigStore::UpdateLeasedJob(const JobRecord& job) {
    if (job.lease_token.empty()) return LeasedWrite::kLost;
    Statement st(db_,
                 "UPDATE job SET state=?, retries=?, error=?, next_retry_at=?, lease_until=?, "
                 "lease_token='', updated_at=? WHERE id=? AND state=1 AND lease_token=?");
    if (!st.ok()) return LeasedWrite::kFailed;
    st.BindInt(1, job.state);
    st.BindInt(2, job.retries);
    st.BindText(3, job.error);
    st.BindInt64(4, job.next_retry_at);
    st.BindInt64(5, job.lease_until);
    st.BindText(6, LocalTimestamp());
    st.BindInt64(7, job.id);
    st.BindText(8, job.lease_token);
    DbLock lock(db_);
    if (!st.StepDone()) return LeasedWrite::kFailed;
    return sqlite3_changes(db_) == 1 ? LeasedWrite::kWritten : LeasedWrite::kLost;
}

bool ConfigStore::ReleaseJobLease(int64_t id, const std::string& token) {
    if (token.empty()) return false;
    Statement st(db_, "UPDATE job SET lease_until=0 WHERE id=? AND state=1 AND lease_token=?");
    if (!st.ok()) return false;
    st.BindInt64(1, id);
    st.BindText(2, token);
    DbLock lock(db_);
    return st.StepDone() && sqlite3_changes(db_) == 1;
}

bool ConfigStore::RecordJobTarget(int64_t jobId, const std::string& token, const std::string& sn,
                                  int32_t state, const std::string& error) {
    if (state == kTargetDelivered) return UpsertJobTarget(jobId, sn, state, error);
    if (token.empty()) return false;
    Statement st(db_,
                 "INSERT INTO job_target (job_id, sn, state, error, updated_at) "
                 "SELECT ?,?,?,?,? WHERE EXISTS (SELECT 1 FROM job WHERE id=? AND state=1 AND "
                 "lease_token=?) ON CONFLICT(job_id, sn) DO UPDATE SET state=excluded.state, "
                 "error=excluded.error, updated_at=excluded.updated_at "
                 "WHERE job_target.state<>2");
    if (!st.ok()) return false;
    st.BindInt64(1, jobId);
    st.BindText(2, sn);
    st.BindInt(3, state);
    st.BindText(4, error);
    st.BindText(5, LocalTimestamp());
    st.BindInt64(6, jobId);
    st.BindText(7, token);
    DbLock lock(db_);
    return st.StepDone() && sqlite3_changes(db_) == 1;
}

bool ConfigStore::ClaimJobForRetry(int64_t id, int32_t searched, int64_t expiresAt,
                                   int64_t leaseMs, JobRecord& out) {
    const int64_t now = NowMs();
    // Check and reset in one statement: a lease taken between a separate
    // check and the reset would be wiped, and its attempt run twice.
    Statement st(db_,
                 "UPDATE job SET state=1, retries=0, next_retry_at=0, expires_at=?, lease_until=?, "
                 "lease_token=?, updated_at=? WHERE id=? AND "
                 "id IN (SELECT id FROM job ORDER BY id DESC LIMIT ?) AND "
                 "(lease_until=0 OR lease_until<?) RETURNING " + kJobColumns + ",lease_token");
    if (!st.ok()) return false;
    st.BindInt64(1, expiresAt);
    st.BindInt64(2, now + leaseMs);
    st.BindText(3, NewId());
    st.BindText(4, LocalTimestamp());
    st.BindInt64(5, id);
    st.BindInt(6, searched);
    st.BindInt64(7, now);
    if (!st.StepRow()) return false;
    JobRecord leased = ReadJob(st);
    leased.lease_token = st.ColumnText(13);
    if (!st.StepDone()) return false;
    out = std::move(leased);
    return true;
}

bool ConfigStore::CancelJob(int64_t id, int32_t searched) {
    Statement st(db_,
                 "UPDATE job SET state=4, next_retry_at=0, lease_until=0, lease_token='', "
                 "updated_at=? WHERE id=? AND id IN (SELECT id FROM job ORDER BY id DESC LIMIT ?)");
    if (!st.ok()) return false;
    st.BindText(1, LocalTimestamp());
    st.BindInt64(2, id);
    st.BindInt(3, searched);
    DbLock lock(db_);
    return st.StepDone() && sqlite3_changes(db_) == 1;
}

bool ConfigStore::ClearJobLease(int64_t id) {
    Statement st(db_, "UPDATE job SET lease_until=0 WHERE id=?");
    if (!st.ok()) return false;
    st.BindInt64(1, id);
    return st.StepDone();
}

int32_t ConfigStore::PruneJobs(int32_t keep) {
    // Only finished jobs (completed, aborted, canceled) age out: a job still
    // waiting for its device during a long outage is a receipt not yet
    // printed, and stays until it is delivered or expires.
    int32_t deleted = 0;
    {
        Statement st(db_,
                     "DELETE FROM job WHERE state IN (2,3,4) AND "
                     "id <= (SELECT MAX(id) FROM job) - ? AND "
                     "id NOT IN (SELECT id FROM job ORDER BY id DESC LIMIT ?)");
        if (!st.ok()) return 0;
        st.BindInt(1, keep);
        st.BindInt(2, keep);
        DbLock lock(db_);
        if (st.StepDone()) deleted = sqlite3_changes(db_);
    }
    if (deleted > 0) Exec("DELETE FROM job_target WHERE job_id NOT IN (SELECT id FROM job)");
    return deleted;
}

}  // namespace qs
