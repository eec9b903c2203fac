// Intake of print jobs as every job takes it (store the job, lease it, write
// its outcome) through the job engine and the store, beside the same SQL
// statements issued directly with SQLite's C API on a second database.
#include <windows.h>
#include <psapi.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/ids.h"
#include "foundation/text.h"
#include "foundation/time_util.h"
#include "jobs/job_engine.h"
#include "store/config_store.h"

namespace {

int kJobs = 10000;  // a first argument changes it, for a quick look
constexpr int kWarmup = 200;
constexpr int kBlock = 500;  // product and baseline alternate in blocks

double NowUs() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1e6 / static_cast<double>(freq.QuadPart);
}

void RemoveDb(const std::wstring& path) {
    qs::RemovePath(path);
    qs::RemovePath(path + L"-wal");
    qs::RemovePath(path + L"-shm");
}

// The statements of one intake, each prepared, bound, stepped and finalised
// as the store does, without any wrapper.
class Baseline {
public:
    explicit Baseline(const std::wstring& path) {
        sqlite3_open16(path.c_str(), &db_);
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA busy_timeout=5000", nullptr, nullptr, nullptr);
    }
    ~Baseline() { sqlite3_close_v2(db_); }

    bool Intake(const std::string& sn, const std::string& path, const std::string& idem) {
        sqlite3_stmt* st = nullptr;
        // Key lookup.
        sqlite3_prepare_v2(db_, "SELECT id FROM job WHERE idem=?", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, idem.c_str(), static_cast<int>(idem.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int64(st, 0) != 0) {
            sqlite3_finalize(st);
            return false;
        }
        sqlite3_finalize(st);

        // Insert.
        const int64_t expires = qs::NowEpochMs() + 86400000;
        std::string ts = qs::LocalTimestamp();
        sqlite3_prepare_v2(db_,
                           "INSERT INTO job (sn,path,source,state,retries,error,idem,next_retry_at,"
                           "expires_at,lease_until,created_at,updated_at) "
                           "VALUES (?,?,?,?,0,'',?,0,?,0,?,?)",
                           -1, &st, nullptr);
        sqlite3_bind_text(st, 1, sn.c_str(), static_cast<int>(sn.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, path.c_str(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, 0);
        sqlite3_bind_int(st, 4, 0);
        sqlite3_bind_text(st, 5, idem.c_str(), static_cast<int>(idem.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 6, expires);
        sqlite3_bind_text(st, 7, ts.c_str(), static_cast<int>(ts.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 8, ts.c_str(), static_cast<int>(ts.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st) != SQLITE_DONE) {
            sqlite3_finalize(st);
            return false;
        }
        sqlite3_finalize(st);
        const int64_t id = sqlite3_last_insert_rowid(db_);

        // Settings read for the notice.
        sqlite3_prepare_v2(db_, "SELECT multi,msg,lang,api_enabled,api_port FROM sysconf LIMIT 1",
                           -1, &st, nullptr);
        sqlite3_step(st);
        sqlite3_finalize(st);

        // Lease.
        const int64_t now = qs::NowEpochMs();
        ts = qs::LocalTimestamp();
        sqlite3_prepare_v2(db_,
                           "UPDATE job SET state=1, lease_until=?, updated_at=? WHERE id=? AND "
                           "state IN (0,1) AND (lease_until=0 OR lease_until<?)",
                           -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, now + 60000);
        sqlite3_bind_text(st, 2, ts.c_str(), static_cast<int>(ts.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 3, id);
        sqlite3_bind_int64(st, 4, now);
        const bool leased = sqlite3_step(st) == SQLITE_DONE && sqlite3_changes(db_) == 1;
        sqlite3_finalize(st);
        if (!leased) return false;
        sqlite3_prepare_v2(db_,
                           "SELECT id,sn,path,source,state,retries,error,idem,next_retry_at,"
                           "expires_at,lease_until,created_at,updated_at FROM job WHERE id=?",
                           -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, id);
        if (sqlite3_step(st) != SQLITE_ROW) {
            sqlite3_finalize(st);
            return false;
        }
        std::string rowSn(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        std::string rowPath(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)));
        std::string rowIdem(reinterpret_cast<const char*>(sqlite3_column_text(st, 7)));
        sqlite3_finalize(st);

        // Outcome.
        ts = qs::LocalTimestamp();
        sqlite3_prepare_v2(db_,
                           "UPDATE job SET state=?, retries=?, error=?, next_retry_at=?, "
                           "lease_until=?, updated_at=? WHERE id=?",
                           -1, &st, nullptr);
        sqlite3_bind_int(st, 1, 2);
        sqlite3_bind_int(st, 2, 0);
        sqlite3_bind_text(st, 3, "", 0, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 4, 0);
        sqlite3_bind_int64(st, 5, 0);
        sqlite3_bind_text(st, 6, ts.c_str(), static_cast<int>(ts.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 7, id);
        const bool done = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_finalize(st);
        return done;
    }

private:
    sqlite3* db_ = nullptr;
};

struct Stats {
    double median, p99, mean;
};

Stats Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    const size_t n = us.size();
    return {us[n / 2], us[std::min(n - 1, (n * 99) / 100)], sum / static_cast<double>(n)};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::atoi(argv[1]) > 0) kJobs = std::atoi(argv[1]);
    qs::InitDataRoot(false);
    const std::wstring dir = qs::DataDir();
    const std::wstring productPath = qs::PathJoin(dir, L"bench-intake-product.db");
    const std::wstring baselinePath = qs::PathJoin(dir, L"bench-intake-baseline.db");
    RemoveDb(productPath);
    RemoveDb(baselinePath);

    // Both files get the schema from the store, so they differ only in who
    // issues the statements.
    { qs::ConfigStore schema; schema.Open(baselinePath); }
    qs::ConfigStore store;
    if (!store.Open(productPath)) {
        std::fprintf(stderr, "cannot open %s\n", qs::WideToUtf8(productPath).c_str());
        return 1;
    }
    qs::JobEngineDeps deps;
    deps.store = &store;
    qs::JobEngine engine(deps);
    Baseline baseline(baselinePath);

    const std::string sn = "BENCH0001";
    const std::wstring spool = qs::PathJoin(qs::SpoolDir(), L"0123456789abcdef0123456789abcdef.dat");
    const std::string spoolUtf8 = qs::WideToUtf8(spool);
    // Keys as the listener makes them, one per arrival, made before timing.
    std::vector<std::string> keys;
    for (int i = 0; i < kJobs + kWarmup; ++i) keys.push_back(qs::NewId());

    int failures = 0;
    auto product = [&](const std::string& key) {
        const int64_t id = engine.EnqueueJob(sn, spool, 0, key);
        qs::JobRecord job;
        if (id == 0 || !store.TryLeaseJob(id, 60000, job)) return false;
        job.state = qs::kJobCompleted;
        job.lease_until = 0;
        return store.UpdateJob(job);
    };

    for (int i = 0; i < kWarmup; ++i) {
        failures += !product(keys[i]);
        failures += !baseline.Intake(sn, spoolUtf8, keys[i]);
    }

    std::vector<double> productUs, baselineUs;
    double productTotal = 0, baselineTotal = 0;
    for (int start = kWarmup; start < kWarmup + kJobs; start += kBlock) {
        const int end = std::min(start + kBlock, kWarmup + kJobs);
        for (int i = start; i < end; ++i) {
            const double t0 = NowUs();
            failures += !product(keys[i]);
            const double t = NowUs() - t0;
            productUs.push_back(t);
            productTotal += t;
        }
        for (int i = start; i < end; ++i) {
            const double t0 = NowUs();
            failures += !baseline.Intake(sn, spoolUtf8, keys[i]);
            const double t = NowUs() - t0;
            baselineUs.push_back(t);
            baselineTotal += t;
        }
    }

    const Stats p = Summarise(productUs);
    const Stats b = Summarise(baselineUs);
    const double productRate = kJobs / (productTotal / 1e6);
    const double baselineRate = kJobs / (baselineTotal / 1e6);

    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    const double peakMib = static_cast<double>(pmc.PeakWorkingSetSize) / (1024.0 * 1024.0);

    RemoveDb(productPath);
    RemoveDb(baselinePath);

    std::printf("intake of %d jobs (insert + lease + update), WAL database in %s\n", kJobs,
                qs::WideToUtf8(dir).c_str());
    std::printf("product:  %.0f jobs/s, median %.1f us, p99 %.1f us, mean %.1f us\n", productRate,
                p.median, p.p99, p.mean);
    std::printf("baseline: %.0f jobs/s, median %.1f us, p99 %.1f us, mean %.1f us\n", baselineRate,
                b.median, b.p99, b.mean);
    std::printf("time per intake product/baseline: median %.3f, mean %.3f; failures %d\n",
                p.median / b.median, p.mean / b.mean, failures);
    std::printf("bench intake: value=%.0f jobs/s baseline=%.0f jobs/s ratio=%.3f peak_ws_mib=%.1f\n",
                productRate, baselineRate, productRate / baselineRate, peakMib);
    return failures == 0 ? 0 : 1;
}
