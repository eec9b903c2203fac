#include "reliability/ledger.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "foundation/files.h"
#include "foundation/text.h"
#include "host/service_control.h"
#include "store/sql_statement.h"

namespace qs::test {
namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;

DbPtr OpenReadOnly(const std::wstring& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(WideToUtf8(path).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return DbPtr();
    }
    // The service writes while the test reads.
    sqlite3_busy_timeout(db, 5000);
    return DbPtr(db);
}

std::vector<std::wstring> LogFiles(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(PathJoin(dir, L"*.log*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

// Whole lines only: the service may be in the middle of writing the last one.
void AppendLines(const std::string& text, std::vector<std::string>& lines) {
    size_t pos = 0;
    for (;;) {
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos) return;
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        pos = end + 1;
    }
}

}  // namespace

// "pc-<id>" of the cloud submissions the fake accepted (answered by its
// default 200, not by a scripted fault), counted per local job id.
std::map<int64_t, int> AcceptedSubmissions(FakeCloudPeer& cloud) {
    std::map<int64_t, int> count;
    for (const RecordedRequest& r : cloud.RequestsTo("/v1/print-jobs")) {
        if (r.method != "POST" || r.byRule || r.answer != "200") continue;
        const std::string key = "\"client_request_id\":\"pc-";
        const size_t at = r.body.find(key);
        if (at == std::string::npos) continue;
        ++count[std::atoll(r.body.c_str() + at + key.size())];
    }
    return count;
}

std::vector<JobRow> ServiceDatabase::Jobs(int64_t afterId) const {
    std::vector<JobRow> rows;
    DbPtr db = OpenReadOnly(path_);
    if (!db) return rows;
    Statement st(db.get(), "SELECT id,sn,path,state,retries,error FROM job WHERE id>? ORDER BY id");
    if (!st.ok()) return rows;
    st.BindInt64(1, afterId);
    while (st.StepRow()) {
        JobRow row;
        row.id = st.ColumnInt64(0);
        row.sn = st.ColumnText(1);
        row.path = st.ColumnText(2);
        row.state = st.ColumnInt(3);
        row.retries = st.ColumnInt(4);
        row.error = st.ColumnText(5);
        rows.push_back(std::move(row));
    }
    return rows;
}

int64_t ServiceDatabase::MaxJobId() const {
    DbPtr db = OpenReadOnly(path_);
    if (!db) return -1;
    Statement st(db.get(), "SELECT COALESCE(MAX(id),0) FROM job");
    return st.ok() && st.StepRow() ? st.ColumnInt64(0) : -1;
}

std::string ServiceDatabase::IntegrityCheck() const {
    DbPtr db = OpenReadOnly(path_);
    if (!db) return "cannot open " + WideToUtf8(path_);
    Statement st(db.get(), "PRAGMA integrity_check");
    if (!st.ok()) return sqlite3_errmsg(db.get());
    return st.StepRow() ? st.ColumnText(0) : std::string(sqlite3_errmsg(db.get()));
}

void ServiceLog::Mark() {
    offsets_.clear();
    for (const std::wstring& name : LogFiles(dir_)) offsets_[name] = FileSize(PathJoin(dir_, name));
}

std::vector<std::string> ServiceLog::NewLines() const {
    std::vector<std::string> lines;
    for (const std::wstring& name : LogFiles(dir_)) {
        std::string text;
        if (!ReadFileBytes(PathJoin(dir_, name), text)) continue;
        auto known = offsets_.find(name);
        size_t from = known == offsets_.end() ? 0 : static_cast<size_t>(known->second);
        if (from > text.size()) from = 0;  // the file was replaced
        AppendLines(text.substr(from), lines);
    }
    return lines;
}

size_t ServiceLog::Count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : NewLines())
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

std::vector<std::string> ServiceLog::ReceivedPaths() const {
    // "收到打印数据 <n> 字节 → <path>"
    const std::string marker = "收到打印数据 ";
    const std::string arrow = " → ";
    std::vector<std::string> paths;
    for (const std::string& line : NewLines()) {
        const size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        const size_t to = line.find(arrow, at);
        if (to != std::string::npos) paths.push_back(line.substr(to + arrow.size()));
    }
    return paths;
}

std::string Fingerprint(const std::string& bytes) {
    return std::to_string(bytes.size()) + ":" + Md5Hex(bytes);
}

void SentLog::Add(const SentJob& job) {
    Entry e{job.sn, Fingerprint(job.bytes), job.accepted};
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(e));
}

std::vector<SentLog::Entry> SentLog::Of(const std::set<std::string>& sns) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> out;
    for (const Entry& e : entries_)
        if (sns.count(e.sn)) out.push_back(e);
    return out;
}

void ScenarioReport::Print() const {
    std::printf("scenario %-12s sent=%zu rows=%zu completed=%zu unfinished=%zu lost=%zu "
                "duplicates=%zu redelivered_after_crash=%zu partial_lan_then_cloud=%zu "
                "peak_ws_mib=%.1f\n",
                name.c_str(), sent, received, completed, unfinished.size(), lost, duplicates,
                redeliveredAfterCrash, partialThenCloud, peakWsMiB);
    for (const JobRow& row : unfinished)
        std::printf("  unfinished id=%lld sn=%s state=%d retries=%d error=%s\n",
                    static_cast<long long>(row.id), row.sn.c_str(), row.state, row.retries,
                    row.error.c_str());
    for (const std::string& p : problems) std::printf("  fault: %s\n", p.c_str());
    std::fflush(stdout);
}

ScenarioReport Evaluate(const std::string& name, const std::set<std::string>& sns,
                        const SentLog& sent, const ServiceDatabase& db, int64_t baseJobId,
                        const ServiceLog& log, const DeviceSim& sim, FakeCloudPeer& cloud,
                        const std::set<std::string>& crashed) {
    ScenarioReport report;
    report.name = name;

    const std::vector<JobRow> all = db.Jobs(baseJobId);
    std::map<std::string, int> rowsPerPath;
    for (const JobRow& row : all) ++rowsPerPath[row.path];
    // Every received print job is exactly one row, whichever scenario sent it.
    for (const std::string& path : log.ReceivedPaths()) {
        auto it = rowsPerPath.find(path);
        if (it == rowsPerPath.end() || it->second != 1) {
            ++report.unreceivedRows;
            report.problems.push_back("received without exactly one job row: " + path);
        }
    }

    // What each device got, by fingerprint: whole and cut-short receptions.
    std::map<std::string, int> whole, partial;
    std::vector<std::string> partialBytes;
    for (const std::string& sn : sns) {
        for (const SimJob& job : sim.WaitJobs(0, 0, sn)) {
            std::string bytes;
            if (!sim.JobBytes(job, &bytes)) {
                report.problems.push_back("device record unreadable: " + job.file);
                continue;
            }
            if (job.complete) {
                ++whole[sn + "|" + Fingerprint(bytes)];
            } else {
                partialBytes.push_back(sn + "|" + bytes);
            }
        }
    }
    const std::map<int64_t, int> accepted = AcceptedSubmissions(cloud);

    std::map<std::string, int> sentPrints;  // fingerprint -> matched rows
    for (const SentLog::Entry& e : sent.Of(sns)) {
        if (e.accepted) {
            ++report.sent;
            sentPrints.emplace(e.sn + "|" + e.print, 0);
        }
    }

    for (const JobRow& row : all) {
        if (!sns.count(row.sn)) continue;
        ++report.received;
        std::string bytes;
        const bool haveFile = ReadFileBytes(Utf8ToWide(row.path), bytes);
        const std::string key = row.sn + "|" + Fingerprint(bytes);
        if (haveFile) {
            auto s = sentPrints.find(key);
            if (s != sentPrints.end()) ++s->second;
        }
        if (row.state != 2) {
            report.unfinished.push_back(row);
            continue;
        }
        ++report.completed;
        if (!haveFile) {
            report.problems.push_back("completed job without its spool file: id=" + std::to_string(row.id));
            continue;
        }
        int lanWhole = 0;
        auto w = whole.find(key);
        if (w != whole.end()) {
            lanWhole = w->second;
            w->second = 0;  // one row per content: a second row is its own fault
        }
        bool cut = false;
        for (const std::string& p : partialBytes) {
            const std::string prefix = row.sn + "|";
            if (p.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string got = p.substr(prefix.size());
            if (got.size() < bytes.size() && bytes.compare(0, got.size(), got) == 0 && !got.empty()) cut = true;
        }
        auto c = accepted.find(row.id);
        const int cloudAccepted = c == accepted.end() ? 0 : c->second;
        const int deliveries = lanWhole + cloudAccepted;
        if (deliveries == 0) {
            ++report.lost;
            report.problems.push_back("completed but never delivered: id=" + std::to_string(row.id));
        } else if (deliveries > 1) {
            if (crashed.count(row.sn)) {
                ++report.redeliveredAfterCrash;
            } else {
                ++report.duplicates;
                report.problems.push_back(Format("delivered %d times (lan %d, cloud %d): id=%lld",
                                                 deliveries, lanWhole, cloudAccepted,
                                                 static_cast<long long>(row.id)));
            }
        }
        if (cut && cloudAccepted > 0) ++report.partialThenCloud;
    }
    for (const auto& s : sentPrints) {
        if (s.second == 0) {
            ++report.lost;
            report.problems.push_back("taken by the port but no job row holds it: " +
                                      s.first.substr(0, s.first.find('|')));
        } else if (s.second > 1) {
            report.problems.push_back("one print job stored as several rows");
        }
    }
    return report;
}

WorkingSetSampler::WorkingSetSampler() {
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            const double now = ServiceWorkingSetMiB();
            lock.lock();
            if (now > peak_) peak_ = now;
            wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping_; });
        }
    });
}

WorkingSetSampler::~WorkingSetSampler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void WorkingSetSampler::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    peak_ = 0;
}

double WorkingSetSampler::Peak() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
}

}  // namespace qs::test
