#include <gtest/gtest.h>
#include <windows.h>

#include "store/config_store.h"
#include "store/store_fixture.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::LogWatch;
using test::RawDb;
using test::TempDir;

const char kDeviceColumns[] =
    "sn,port,devname,printer_driver,created_at,crc,media,paper_width_mm,paper_height_mm,prev_port";
const char kJobColumns[] =
    "id,sn,path,source,state,retries,error,idem,next_retry_at,expires_at,lease_until,"
    "created_at,updated_at,lease_token";

// Everything that describes the schema, so two states can be compared.
std::string SchemaDump(RawDb& raw) {
    std::string dump;
    for (const auto& r : raw.Rows("SELECT type, name, sql FROM sqlite_master ORDER BY name"))
        dump += r + "\n";
    for (const char* t : {"device", "job", "job_target", "sysconf", "token", "kv"}) {
        for (const auto& r : raw.Rows(std::string("SELECT * FROM pragma_table_info('") + t + "')"))
            dump += std::string(t) + ":" + r + "\n";
    }
    return dump;
}

bool HasIndex(RawDb& raw, const std::string& name) {
    return raw.One("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name='" + name + "'") ==
           "1";
}

TEST(SchemaTest, FreshFileGetsEveryTableIndexAndColumn) {
    TempDir dir;
    const std::wstring path = dir / L"qnconfig.db";
    {
        ConfigStore store;
        ASSERT_TRUE(store.Open(path));
        EXPECT_TRUE(store.IsOpen());
    }
    RawDb raw(path);
    EXPECT_EQ(raw.Rows("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE "
                       "'sqlite_%' ORDER BY name"),
              (std::vector<std::string>{"device", "job", "job_target", "kv", "sysconf", "token"}));
    EXPECT_EQ(raw.Rows("SELECT name FROM sqlite_master WHERE type='index' AND name NOT LIKE "
                       "'sqlite_%' ORDER BY name"),
              (std::vector<std::string>{"idx_job_idem", "idx_job_state"}));
    EXPECT_EQ(raw.Columns("device"), kDeviceColumns);
    EXPECT_EQ(raw.Columns("job"), kJobColumns);
    EXPECT_EQ(raw.Columns("job_target"), "job_id,sn,state,error,updated_at");
    EXPECT_EQ(raw.Columns("sysconf"), "multi,msg,lang,api_enabled,api_port");
    EXPECT_EQ(raw.Columns("token"), "token");
    EXPECT_EQ(raw.Columns("kv"), "k,v");

    // Keys and defaults that the operations rely on.
    EXPECT_EQ(raw.One("SELECT pk FROM pragma_table_info('device') WHERE name='sn'"), "1");
    EXPECT_EQ(raw.Rows("SELECT name, pk FROM pragma_table_info('job_target') WHERE pk>0 ORDER BY pk"),
              (std::vector<std::string>{"job_id|1", "sn|2"}));
    EXPECT_EQ(raw.One("SELECT dflt_value FROM pragma_table_info('device') WHERE name='media'"),
              "'receipt'");
    EXPECT_EQ(raw.One("SELECT dflt_value FROM pragma_table_info('device') WHERE name='paper_width_mm'"),
              "0");
    EXPECT_EQ(raw.One("SELECT dflt_value FROM pragma_table_info('device') WHERE name='prev_port'"),
              "''");
    EXPECT_EQ(raw.One("SELECT dflt_value FROM pragma_table_info('job') WHERE name='lease_until'"),
              "0");
    EXPECT_NE(raw.One("SELECT sql FROM sqlite_master WHERE name='job'").find("AUTOINCREMENT"),
              std::string::npos);
    EXPECT_NE(raw.One("SELECT sql FROM sqlite_master WHERE name='idx_job_idem'").find("WHERE idem<>''"),
              std::string::npos);

    // Created through the UTF-16 open call, in WAL mode.
    EXPECT_EQ(raw.One("PRAGMA encoding"), "UTF-16le");
    EXPECT_EQ(raw.One("PRAGMA journal_mode"), "wal");
}

// Every commit reaches the disk before it returns: with WAL, NORMAL lets a
// power cut roll back a job the sender was already told was stored.
TEST(SchemaTest, CommitsAreDurable) {
    TempDir dir;
    ConfigStore store;
    ASSERT_TRUE(store.Open(dir / L"qnconfig.db"));
    EXPECT_EQ(store.QueryInt("PRAGMA synchronous", -1), 2) << "2 is FULL";
    EXPECT_EQ(store.QueryInt("SELECT COUNT(*) FROM job", -1), 0);
    EXPECT_EQ(store.QueryInt("SELECT id FROM job", -1), -1);
}

TEST(SchemaTest, SecondOpeningChangesNothingAndLogsNoError) {
    TempDir dir;
    const std::wstring path = dir / L"qnconfig.db";
    std::string before;
    {
        ConfigStore store;
        ASSERT_TRUE(store.Open(path));
        RawDb raw(path);
        before = SchemaDump(raw);
    }
    LogWatch log;
    ConfigStore store;
    ASSERT_TRUE(store.Open(path));
    RawDb raw(path);
    EXPECT_EQ(SchemaDump(raw), before);
    EXPECT_EQ(log.Count("ERR", ""), 0);
}

// The key index must hold from the opening that adds its column: until the
// next opening, two arrivals with one key would both be stored.
TEST(SchemaTest, OldJobTableGetsItsColumnsAndTheKeyIndexAtOnce) {
    TempDir dir;
    const std::wstring path = dir / L"qnconfig.db";
    {
        RawDb raw(path);
        ASSERT_EQ(raw.Exec("CREATE TABLE job (id INTEGER PRIMARY KEY AUTOINCREMENT, sn TEXT, "
                           "path TEXT, source INTEGER, state INTEGER, retries INTEGER DEFAULT 0, "
                           "error TEXT, created_at TEXT, updated_at TEXT);"
                           "INSERT INTO job (sn, path, source, state, retries, error, created_at, "
                           "updated_at) VALUES ('SN1', 'C:\\a.dat', 0, 2, 1, 'x', "
                           "'2024-05-23T14:03:09', '2024-05-23T14:03:09');"),
                  "");
    }
    {
        LogWatch log;
        ConfigStore store;
        ASSERT_TRUE(store.Open(path));
        // The index names a column that does not exist yet: logged, and opening goes on.
        EXPECT_EQ(log.Count("ERR", "SQL 失败: "), 1);
        EXPECT_EQ(log.Count("ERR", " | CREATE UNIQUE INDEX IF NOT EXISTS idx_job_idem ON job(idem) "
                                   "WHERE idem<>''"),
                  1);
        RawDb raw(path);
        EXPECT_EQ(raw.Columns("job"),
                  "id,sn,path,source,state,retries,error,created_at,updated_at,idem,next_retry_at,"
                  "expires_at,lease_until,lease_token");
        EXPECT_TRUE(HasIndex(raw, "idx_job_idem"));
        EXPECT_TRUE(HasIndex(raw, "idx_job_state"));
        JobRecord job;
        job.sn = "SN2";
        job.idem = "key-1";
        const int64_t first = store.InsertJob(job);
        ASSERT_NE(first, 0);
        EXPECT_NE(raw.Exec("INSERT INTO job (sn, state, idem) VALUES ('SN3', 0, 'key-1')"), "");

        // The old row reads the defaults in the new columns.
        auto jobs = store.ListRecentJobs(10);
        ASSERT_EQ(jobs.size(), 2u);
        jobs.erase(jobs.begin());
        EXPECT_EQ(jobs[0].sn, "SN1");
        EXPECT_EQ(jobs[0].state, 2);
        EXPECT_EQ(jobs[0].idem, "");
        EXPECT_EQ(jobs[0].next_retry_at, 0);
        EXPECT_EQ(jobs[0].expires_at, 0);
        EXPECT_EQ(jobs[0].lease_until, 0);
        EXPECT_EQ(jobs[0].created_at, "2024-05-23T14:03:09");
    }
    {
        LogWatch log;
        ConfigStore store;
        ASSERT_TRUE(store.Open(path));
        EXPECT_EQ(log.Count("ERR", ""), 0);
        RawDb raw(path);
        EXPECT_TRUE(HasIndex(raw, "idx_job_idem"));
    }
}

TEST(SchemaTest, OldSettingsTableGetsBothApiColumns) {
    TempDir dir;
    const std::wstring path = dir / L"qnconfig.db";
    {
        RawDb raw(path);
        ASSERT_EQ(raw.Exec("CREATE TABLE sysconf (multi TEXT, msg TEXT, lang TEXT);"
                           "INSERT INTO sysconf VALUES ('1', '0', 'en');"),
                  "");
    }
    LogWatch log;
    ConfigStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(log.Count("ERR", ""), 0);
    RawDb raw(path);
    EXPECT_EQ(raw.Columns("sysconf"), "multi,msg,lang,api_enabled,api_port");
    SettingsRecord s = store.LoadSettings();
    EXPECT_TRUE(s.multi);
    EXPECT_FALSE(s.msg);
    EXPECT_EQ(s.lang, "en");
    EXPECT_FALSE(s.api_enabled);
    EXPECT_EQ(s.api_port, 39199);
}

TEST(SchemaTest, SettingsTableWithOnlyApiPortLogsTheFailedAlterAndStillOpens) {
    TempDir dir;
    const std::wstring path = dir / L"qnconfig.db";
    {
        RawDb raw(path);
        ASSERT_EQ(raw.Exec("CREATE TABLE sysconf (multi TEXT, msg TEXT, lang TEXT, api_port INTEGER)"),
                  "");
    }
    LogWatch log;
    ConfigStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(log.Count("ERR", " | ALTER TABLE sysconf ADD COLUMN api_port INTEGER"), 1);
    EXPECT_EQ(log.Count("ERR", ""), 1);
    RawDb raw(path);
    EXPECT_EQ(raw.Columns("sysconf"), "multi,msg,lang,api_port,api_enabled");
}

TEST(SchemaTest, OldDeviceTablesGetTheirColumnsAndListWithDefaults) {
    struct Case {
        const char* name;
        const char* create;
        const char* insert;
        const char* columnsAfter;
    };
    const Case cases[] = {
        {"without media and paper columns",
         "CREATE TABLE device (sn TEXT PRIMARY KEY, port INTEGER, devname TEXT, "
         "printer_driver TEXT, created_at TEXT, crc TEXT)",
         "INSERT INTO device VALUES ('SN1', 39100, 'Front', 'Receipt Q', '2024-01-01T00:00:00', '')",
         kDeviceColumns},
        {"without code and creation time",
         "CREATE TABLE device (sn TEXT PRIMARY KEY, port INTEGER, devname TEXT, printer_driver TEXT)",
         "INSERT INTO device VALUES ('SN1', 39100, 'Front', 'Receipt Q')",
         "sn,port,devname,printer_driver,crc,media,paper_width_mm,paper_height_mm,prev_port,"
         "created_at"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::wstring path = dir / L"qnconfig.db";
        {
            RawDb raw(path);
            ASSERT_EQ(raw.Exec(c.create), "");
            ASSERT_EQ(raw.Exec(c.insert), "");
        }
        ConfigStore store;
        ASSERT_TRUE(store.Open(path));
        EXPECT_TRUE(store.Migrate());
        RawDb raw(path);
        EXPECT_EQ(raw.Columns("device"), c.columnsAfter);
        auto devices = store.ListDevices();
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(devices[0].sn, "SN1");
        EXPECT_EQ(devices[0].port, 39100);
        EXPECT_EQ(devices[0].devname, "Front");
        EXPECT_EQ(devices[0].printer_driver, "Receipt Q");
        EXPECT_EQ(devices[0].crc, "");
        EXPECT_EQ(devices[0].media, "receipt");
        EXPECT_EQ(devices[0].paper_width_mm, 0);
        EXPECT_EQ(devices[0].paper_height_mm, 0);
        EXPECT_EQ(devices[0].prev_port, "");
        EXPECT_EQ(devices[0].status, -1);
    }
}

TEST(SchemaTest, AddColumnIfMissingAddsOnlyWhatIsMissing) {
    TempDir dir;
    ConfigStore store;
    ASSERT_TRUE(store.Open(dir / L"qnconfig.db"));
    LogWatch log;
    // An existing column is found first, so the broken declaration never runs.
    EXPECT_TRUE(store.AddColumnIfMissing("device", "media", "NOT A DECLARATION ((("));
    EXPECT_EQ(log.Count("ERR", ""), 0);
    EXPECT_TRUE(store.AddColumnIfMissing("kv", "extra", "INTEGER DEFAULT 7"));
    RawDb raw(dir / L"qnconfig.db");
    EXPECT_EQ(raw.Columns("kv"), "k,v,extra");
    EXPECT_FALSE(store.AddColumnIfMissing("no_such_table", "c", "TEXT"));
    EXPECT_EQ(log.Count("ERR", "SQL 失败: no such table: no_such_table | ALTER TABLE no_such_table "
                               "ADD COLUMN c TEXT"),
              1);
}

TEST(SchemaTest, ExecRunsSeveralStatementsAndLogsFailures) {
    TempDir dir;
    ConfigStore store;
    ASSERT_TRUE(store.Open(dir / L"qnconfig.db"));
    EXPECT_TRUE(store.Exec("CREATE TABLE t (x); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"));
    RawDb raw(dir / L"qnconfig.db");
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM t"), "2");

    LogWatch log;
    EXPECT_FALSE(store.Exec("SELEC nonsense"));
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[ERR] SQL 失败: near \"SELEC\": syntax error | SELEC nonsense"),
              std::string::npos)
        << lines[0];
}

TEST(SchemaTest, OpenFailureLeavesTheStoreClosedAndEveryOperationFails) {
    TempDir dir;
    LogWatch log;
    ConfigStore store;
    EXPECT_FALSE(store.Open(dir / L"missing-folder\\qnconfig.db"));
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(log.Count("ERR", "打开数据库失败: "), 1);

    LogWatch quiet;
    EXPECT_FALSE(store.Exec("SELECT 1"));
    EXPECT_EQ(quiet.Lines().size(), 0u);

    JobRecord job;
    job.sn = "SN1";
    job.idem = "k";
    EXPECT_EQ(store.InsertJob(job), 0);
    JobRecord out;
    EXPECT_FALSE(store.TryLeaseJob(1, 60000, out));
    EXPECT_TRUE(store.ListDueJobs(0, 10).empty());
    EXPECT_TRUE(store.ListDevices().empty());
    EXPECT_FALSE(store.DeleteDevice("SN1"));
    EXPECT_FALSE(store.UpdateJob(job));
    EXPECT_EQ(store.PruneJobs(200), 0);
    SettingsRecord s = store.LoadSettings();
    EXPECT_EQ(s.lang, "auto");
    EXPECT_EQ(s.api_port, 39199);
    store.SaveSettings(s);

    DeviceRecord d;
    d.sn = "SN1";
    EXPECT_FALSE(store.UpsertDevice(d));
    EXPECT_EQ(quiet.Count("ERR", "保存设备失败: "), 1);
}

TEST(SchemaTest, OpensAPathWithChineseCharacters) {
    TempDir dir;
    const std::wstring folder = dir / L"数据";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring path = folder + L"\\配置.db";
    {
        ConfigStore store;
        ASSERT_TRUE(store.Open(path));
        DeviceRecord d;
        d.sn = "SN1";
        ASSERT_TRUE(store.UpsertDevice(d));
    }
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    ConfigStore again;
    ASSERT_TRUE(again.Open(path));
    EXPECT_EQ(again.ListDevices().size(), 1u);
}

}  // namespace
}  // namespace qs
