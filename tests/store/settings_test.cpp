#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store/config_store.h"
#include "store/store_fixture.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::RawDb;
using test::TempDir;

class SettingsTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.Open(path_)); }

    TempDir dir_;
    std::wstring path_ = dir_ / L"qnconfig.db";
    ConfigStore store_;
};

void ExpectDefaults(const SettingsRecord& s) {
    EXPECT_FALSE(s.multi);
    EXPECT_FALSE(s.msg);
    EXPECT_EQ(s.lang, "auto");
    EXPECT_FALSE(s.api_enabled);
    EXPECT_EQ(s.api_port, 39199);
}

TEST_F(SettingsTest, NoRowLoadsDefaults) { ExpectDefaults(store_.LoadSettings()); }

TEST_F(SettingsTest, StoredRowsAreReadStrictly) {
    struct Case {
        const char* values;  // multi, msg, lang, api_enabled, api_port
        bool multi, msg;
        const char* lang;
        bool api;
        int32_t port;
    };
    const Case cases[] = {
        {"'1','1','en','1',8080", true, true, "en", true, 8080},
        {"'true','yes','zh','TRUE',1", false, false, "zh", false, 1},
        {"' 1','1 ','','01',0", false, false, "auto", false, 39199},
        {"NULL,NULL,NULL,NULL,NULL", false, false, "auto", false, 39199},
        {"'0','1','en',NULL,-5", false, true, "en", false, 39199},
        {"1,1,'en',1,'7000'", true, true, "en", true, 7000},  // numbers read as their text
    };
    RawDb raw(path_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values);
        ASSERT_EQ(raw.Exec(std::string("DELETE FROM sysconf; INSERT INTO sysconf VALUES (") +
                           c.values + ")"),
                  "");
        SettingsRecord s = store_.LoadSettings();
        EXPECT_EQ(s.multi, c.multi);
        EXPECT_EQ(s.msg, c.msg);
        EXPECT_EQ(s.lang, c.lang);
        EXPECT_EQ(s.api_enabled, c.api);
        EXPECT_EQ(s.api_port, c.port);
    }
}

TEST_F(SettingsTest, SaveAndLoadRoundTrip) {
    const SettingsRecord records[] = {
        {true, false, "en", true, 1},
        {false, true, "zh-CN", false, 65535},
        {true, true, "中文", true, 39199},
        {false, false, "auto", false, 2147483647},
    };
    RawDb raw(path_);
    for (const SettingsRecord& r : records) {
        SCOPED_TRACE(r.lang);
        EXPECT_TRUE(store_.SaveSettings(r));
        SettingsRecord s = store_.LoadSettings();
        EXPECT_EQ(s.multi, r.multi);
        EXPECT_EQ(s.msg, r.msg);
        EXPECT_EQ(s.lang, r.lang);
        EXPECT_EQ(s.api_enabled, r.api_enabled);
        EXPECT_EQ(s.api_port, r.api_port);
        EXPECT_EQ(raw.One("SELECT COUNT(*) FROM sysconf"), "1");
    }
    // The flags are stored as the texts "1" and "0", the port as a number.
    store_.SaveSettings({true, false, "en", true, 1234});
    EXPECT_EQ(raw.One("SELECT multi, msg, lang, api_enabled, api_port, typeof(multi), "
                      "typeof(api_port) FROM sysconf"),
              "1|0|en|1|1234|text|integer");
}

TEST_F(SettingsTest, FailedSaveKeepsTheStoredSettings) {
    store_.SaveSettings({true, true, "en", true, 4000});
    RawDb raw(path_);
    ASSERT_EQ(raw.Exec("CREATE TRIGGER refuse BEFORE INSERT ON sysconf BEGIN "
                       "SELECT RAISE(ABORT, 'refused'); END"),
              "");
    EXPECT_FALSE(store_.SaveSettings({false, false, "zh", false, 5000}));
    SettingsRecord s = store_.LoadSettings();
    EXPECT_TRUE(s.multi);
    EXPECT_TRUE(s.msg);
    EXPECT_EQ(s.lang, "en");
    EXPECT_EQ(s.api_port, 4000);
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM sysconf"), "1");

    // The store is usable afterwards: no transaction was left open.
    ASSERT_EQ(raw.Exec("DROP TRIGGER refuse"), "");
    EXPECT_TRUE(store_.SaveSettings({false, false, "zh", false, 5000}));
    EXPECT_EQ(store_.LoadSettings().lang, "zh");
    JobRecord job;
    job.sn = "SN1";
    EXPECT_GT(store_.InsertJob(job), 0);
    EXPECT_EQ(raw.One("SELECT COUNT(*) FROM job"), "1");
}

// A load running while saves replace the row sees either the old or the new
// record, never the defaults of an empty table.
TEST_F(SettingsTest, LoadDuringSavesNeverSeesDefaults) {
    store_.SaveSettings({true, true, "en", true, 1000});
    std::atomic<bool> stop{false};
    std::atomic<int> defaultsSeen{0};
    std::atomic<int> loads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            if (store_.LoadSettings().lang == "auto") defaultsSeen++;
            loads++;
        }
    });
    for (int i = 0; i < 300; ++i)
        store_.SaveSettings({true, i % 2 == 0, i % 2 ? "en" : "zh", true, 1000 + i});
    stop = true;
    reader.join();
    EXPECT_GT(loads.load(), 0);
    EXPECT_EQ(defaultsSeen.load(), 0);
}

}  // namespace
}  // namespace qs
