#include "store/config_store.h"

#include <sqlite3.h>

#include "foundation/logger.h"
#include "foundation/time_util.h"
#include "store/sql_statement.h"

namespace qs {

namespace {

// Columns sn..media; the paper columns and prev_port come from Migrate so
// that fresh and old files end up with the same column order.
const char kCreateDevice[] =
    "CREATE TABLE IF NOT EXISTS device ("
    "sn TEXT PRIMARY KEY, port INTEGER, devname TEXT, printer_driver TEXT, "
    "created_at TEXT, crc TEXT, media TEXT DEFAULT 'receipt')";

const char kCreateJob[] =
    "CREATE TABLE IF NOT EXISTS job ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, sn TEXT, path TEXT, source INTEGER, "
    "state INTEGER, retries INTEGER DEFAULT 0, error TEXT, idem TEXT DEFAULT '', "
    "next_retry_at INTEGER DEFAULT 0, expires_at INTEGER DEFAULT 0, "
    "lease_until INTEGER DEFAULT 0, created_at TEXT, updated_at TEXT)";

const char kCreateJobTarget[] =
    "CREATE TABLE IF NOT EXISTS job_target ("
    "job_id INTEGER NOT NULL, sn TEXT NOT NULL, state INTEGER DEFAULT 0, "
    "error TEXT, updated_at TEXT, PRIMARY KEY (job_id, sn))";

const char kCreateSysconf[] =
    "CREATE TABLE IF NOT EXISTS sysconf ("
    "multi TEXT, msg TEXT, lang TEXT, api_enabled TEXT, api_port INTEGER)";

}  // namespace

ConfigStore::ConfigStore() = default;

ConfigStore::~ConfigStore() {
    if (db_) sqlite3_close_v2(db_);
}

void ConfigStore::SetClock(Clock clock) { clock_ = std::move(clock); }

int64_t ConfigStore::NowMs() const { return clock_ ? clock_() : NowEpochMs(); }

bool ConfigStore::Open(const std::wstring& path) {
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    sqlite3* db = nullptr;
    // Takes the wide path as it stands, so any Windows file name works; a file
    // created this way stores its text as UTF-16.
    int rc = sqlite3_open16(path.c_str(), &db);
    if (rc != SQLITE_OK) {
        const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        LogError(std::string("打开数据库失败: ") + (msg ? msg : ""));
        if (db) sqlite3_close_v2(db);
        return false;
    }
    db_ = db;

    // Each statement runs whatever the previous one returned: a failure is
    // logged and opening goes on.
    Exec("PRAGMA journal_mode=WAL");
    // FULL: with WAL, NORMAL lets a power cut roll back a commit that was
    // already acknowledged (a received job, a completion).
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA busy_timeout=5000");
    Exec(kCreateDevice);
    Exec(kCreateJob);
    // Fails on a file whose job table predates idem; Migrate creates it
    // right after adding the column.
    Exec("CREATE UNIQUE INDEX IF NOT EXISTS idx_job_idem ON job(idem) WHERE idem<>''");
    Exec("CREATE INDEX IF NOT EXISTS idx_job_state ON job(state)");
    Exec(kCreateJobTarget);
    Exec(kCreateSysconf);
    Exec("CREATE TABLE IF NOT EXISTS token (token TEXT)");
    Exec("CREATE TABLE IF NOT EXISTS kv (k TEXT PRIMARY KEY, v TEXT)");
    Migrate();
    return true;
}

bool ConfigStore::Exec(const std::string& sql) {
    if (!db_) return false;
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        LogError(std::string("SQL 失败: ") + (err ? err : "") + " | " + sql);
        sqlite3_free(err);
        return false;
    }
    return true;
}

int64_t ConfigStore::QueryInt(const std::string& sql, int64_t fallback) {
    Statement st(db_, sql);
    if (!st.ok() || !st.StepRow() || st.ColumnIsNull(0)) return fallback;
    return st.ColumnInt64(0);
}

bool ConfigStore::ColumnExists(const std::string& sql, const std::string& name) {
    Statement st(db_, sql);
    if (!st.ok()) return false;
    if (!name.empty()) st.BindText(1, name);
    return st.StepRow() && st.ColumnInt(0) > 0;
}

bool ConfigStore::AddColumnIfMissing(const std::string& table, const std::string& column,
                                     const std::string& declaration) {
    {
        Statement st(db_, "SELECT COUNT(*) FROM pragma_table_info(?) WHERE name=?");
        if (st.ok()) {
            st.BindText(1, table);
            st.BindText(2, column);
            if (st.StepRow() && st.ColumnInt(0) > 0) return true;
        }
    }
    return Exec("ALTER TABLE " + table + " ADD COLUMN " + column + " " + declaration);
}

bool ConfigStore::Migrate() {
    static const struct {
        const char* name;
        const char* declaration;
    } kJobColumns[] = {
        {"idem", "TEXT DEFAULT ''"},
        {"next_retry_at", "INTEGER DEFAULT 0"},
        {"expires_at", "INTEGER DEFAULT 0"},
        {"lease_until", "INTEGER DEFAULT 0"},
        {"lease_token", "TEXT DEFAULT ''"},
    };
    for (const auto& col : kJobColumns) {
        if (!ColumnExists("SELECT COUNT(*) FROM pragma_table_info('job') WHERE name=?", col.name)) {
            Exec(std::string("ALTER TABLE job ADD COLUMN ") + col.name + " " + col.declaration);
            // Without the index, keys would go unchecked until the next opening.
            if (std::string(col.name) == "idem") {
                Exec("CREATE UNIQUE INDEX IF NOT EXISTS idx_job_idem ON job(idem) WHERE idem<>''");
            }
        }
    }

    // Only api_enabled is looked for; both columns came in together.
    if (!ColumnExists("SELECT COUNT(*) FROM pragma_table_info('sysconf') WHERE name='api_enabled'",
                      "")) {
        Exec("ALTER TABLE sysconf ADD COLUMN api_enabled TEXT");
        Exec("ALTER TABLE sysconf ADD COLUMN api_port INTEGER");
    }

    AddColumnIfMissing("device", "crc", "TEXT DEFAULT ''");
    AddColumnIfMissing("device", "media", "TEXT DEFAULT 'receipt'");
    AddColumnIfMissing("device", "paper_width_mm", "INTEGER DEFAULT 0");
    AddColumnIfMissing("device", "paper_height_mm", "INTEGER DEFAULT 0");
    AddColumnIfMissing("device", "prev_port", "TEXT DEFAULT ''");
    return AddColumnIfMissing("device", "created_at", "TEXT");
}

}  // namespace qs
