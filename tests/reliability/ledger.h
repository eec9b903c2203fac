// The bookkeeping of the reliability suite: what the test sent to the
// loopback ports, what the running service logged as received and stored as
// job rows (read straight from its log files and its database), and what
// the devices and the cloud got; from these, one report per scenario.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "jobs/device_sim_client.h"

namespace qs::test {

struct JobRow {
    int64_t id = 0;
    std::string sn, path, error;
    int32_t state = -1;
    int32_t retries = 0;
};

// The service's database, opened read-only beside the running service.
class ServiceDatabase {
public:
    explicit ServiceDatabase(std::wstring path) : path_(std::move(path)) {}
    // Rows with an id above afterId; empty when the file cannot be read.
    std::vector<JobRow> Jobs(int64_t afterId) const;
    int64_t MaxJobId() const;
    // The first row of PRAGMA integrity_check ("ok" when sound), or the error.
    std::string IntegrityCheck() const;

private:
    std::wstring path_;
};

// The service's log folder: lines written after Mark().
class ServiceLog {
public:
    explicit ServiceLog(std::wstring dir) : dir_(std::move(dir)) {}
    void Mark();
    std::vector<std::string> NewLines() const;
    size_t Count(const std::string& text) const;
    // Spool paths of the "收到打印数据" lines since the mark.
    std::vector<std::string> ReceivedPaths() const;

private:
    std::wstring dir_;
    std::map<std::wstring, int64_t> offsets_;
};

// One connection the test made to a loopback port.
struct SentJob {
    std::string sn;
    std::string bytes;
    bool accepted = false;  // the sender saw no error: the port has the job
};

// What was sent, kept as fingerprints (size and MD5) so a 200 MiB job is
// not held twice.
class SentLog {
public:
    struct Entry {
        std::string sn, print;
        bool accepted = false;
    };
    void Add(const SentJob& job);
    std::vector<Entry> Of(const std::set<std::string>& sns) const;

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// "pc-<id>" of the cloud submissions the fake accepted (answered by its
// default 200, not by a scripted fault), counted per local job id.
std::map<int64_t, int> AcceptedSubmissions(FakeCloudPeer& cloud);

// Size and MD5 of a byte string.
std::string Fingerprint(const std::string& bytes);

struct ScenarioReport {
    std::string name;
    size_t sent = 0;        // connections the ports took without an error
    size_t received = 0;    // job rows of the scenario's devices
    size_t completed = 0;
    std::vector<JobRow> unfinished;  // pending, processing, aborted, canceled
    size_t lost = 0;        // taken but never stored, or completed but never delivered
    size_t duplicates = 0;  // delivered whole more than once without a crash in between
    size_t redeliveredAfterCrash = 0;  // a crash fell between delivery and its record
    size_t partialThenCloud = 0;       // a LAN send cut short, then the cloud delivered
    size_t unreceivedRows = 0;         // "收到打印数据" lines without exactly one row
    double peakWsMiB = 0;
    std::vector<std::string> problems;  // one line per fault found

    void Print() const;
};

// Compares the three sides for the devices of one scenario. crashed: serial
// numbers whose deliveries a crash interrupted (a second delivery of those
// counts as redelivered, not as a duplicate).
ScenarioReport Evaluate(const std::string& name, const std::set<std::string>& sns,
                        const SentLog& sent, const ServiceDatabase& db, int64_t baseJobId,
                        const ServiceLog& log, const DeviceSim& sim, FakeCloudPeer& cloud,
                        const std::set<std::string>& crashed = {});

// Samples the service's working set in the background; the peak since the
// last Reset. The service process may change (a crash and restart).
class WorkingSetSampler {
public:
    WorkingSetSampler();
    ~WorkingSetSampler();
    WorkingSetSampler(const WorkingSetSampler&) = delete;
    WorkingSetSampler& operator=(const WorkingSetSampler&) = delete;
    void Reset();
    double Peak() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    double peak_ = 0;
    std::thread thread_;
};

}  // namespace qs::test
