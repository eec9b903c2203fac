// The records that the store reads and writes; copied by value.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qs {

// One bound device. network, type_name, status and lanIp live only in
// memory (status refresh, LAN discovery); a loaded record has them empty.
struct DeviceRecord {
    std::string sn;
    int32_t port = 0;
    std::string devname;
    std::string printer_driver;
    std::string crc;  // plain in memory, protected on disk
    std::string media = "receipt";
    int32_t paper_width_mm = 0;
    int32_t paper_height_mm = 0;
    std::string network;
    std::string type_name;
    int32_t status = -1;
    std::string lanIp;
    std::string prev_port;
};

enum JobState : int32_t {
    kJobPending = 0,
    kJobProcessing = 1,
    kJobCompleted = 2,
    kJobAborted = 3,
    kJobCanceled = 4,
};

enum JobTargetState : int32_t {
    kTargetDelivered = 2,
    kTargetFailed = 3,
};

struct JobTargetRecord {
    std::string sn;
    int32_t state = 0;
    std::string error;
};

struct JobRecord {
    int64_t id = 0;
    std::string sn;
    std::string path;
    int32_t source = 0;
    int32_t state = kJobPending;
    int32_t retries = 0;
    std::string error;
    std::string idem;
    int64_t next_retry_at = 0;
    int64_t expires_at = 0;
    int64_t lease_until = 0;
    std::string created_at;
    std::string updated_at;
    std::vector<JobTargetRecord> targets;  // filled only by ListRecentJobs
    // Names the lease a claim took (TryLeaseJob, ClaimJobForRetry); the
    // writes of that attempt land only while the row still carries it.
    std::string lease_token;
};

// What became of a write that only the lease's holder may make.
enum class LeasedWrite : int32_t {
    kWritten,  // the row still carried the lease and now holds the outcome
    kLost,     // the row had changed (canceled, retried, leased again): nothing written
    kFailed,   // the statement did not complete
};

struct SettingsRecord {
    bool multi = false;
    bool msg = false;
    std::string lang = "auto";
    bool api_enabled = false;
    int32_t api_port = 39199;
};

}  // namespace qs
