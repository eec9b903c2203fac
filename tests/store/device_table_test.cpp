#include <gtest/gtest.h>

#include "foundation/secret.h"
#include "store/config_store.h"
#include "store/store_fixture.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::LogWatch;
using test::RawDb;
using test::TempDir;

class DeviceTableTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.Open(path_)); }

    DeviceRecord Device(const std::string& sn) {
        DeviceRecord d;
        d.sn = sn;
        d.port = 39100;
        d.devname = "前台";
        d.printer_driver = "Receipt Q";
        return d;
    }

    DeviceRecord Only() {
        auto list = store_.ListDevices();
        EXPECT_EQ(list.size(), 1u);
        return list.empty() ? DeviceRecord{} : list[0];
    }

    TempDir dir_;
    std::wstring path_ = dir_ / L"qnconfig.db";
    ConfigStore store_;
};

TEST_F(DeviceTableTest, CodeIsProtectedOnDiskAndReadBackPlain) {
    const std::string codes[] = {"123456", "验证码-ÄÖ-코드", std::string("a\0b", 3)};
    for (const std::string& code : codes) {
        SCOPED_TRACE(code);
        DeviceRecord d = Device("SN1");
        d.crc = code;
        ASSERT_TRUE(store_.UpsertDevice(d));

        RawDb raw(path_);
        const std::string stored = raw.One("SELECT crc FROM device WHERE sn='SN1'");
        EXPECT_FALSE(stored.empty());
        EXPECT_EQ(stored.find(code), std::string::npos);
        // What is on disk is the protected form, not merely some other text.
        std::string plain;
        ASSERT_TRUE(UnprotectSecret(stored, plain));
        EXPECT_EQ(plain, code);

        EXPECT_EQ(Only().crc, code);
    }
}

TEST_F(DeviceTableTest, CodeThatIsNotAProtectedValueLoadsEmpty) {
    const char* stored[] = {"123456", "bm90IGEgYmxvYg==", "", "!!!"};
    for (const char* value : stored) {
        SCOPED_TRACE(value);
        DeviceRecord d = Device("SN1");
        d.crc = "placeholder";
        ASSERT_TRUE(store_.UpsertDevice(d));
        RawDb raw(path_);
        ASSERT_EQ(raw.Exec(std::string("UPDATE device SET crc='") + value + "'"), "");
        DeviceRecord loaded = Only();
        EXPECT_EQ(loaded.crc, "");
        EXPECT_EQ(loaded.sn, "SN1");
    }
}

TEST_F(DeviceTableTest, EmptyCodeIsStoredEmpty) {
    ASSERT_TRUE(store_.UpsertDevice(Device("SN1")));
    RawDb raw(path_);
    EXPECT_EQ(raw.One("SELECT crc FROM device"), "");
    EXPECT_EQ(Only().crc, "");
}

TEST_F(DeviceTableTest, RoundTripKeepsEveryPersistedFieldAndResetsRuntimeFields) {
    DeviceRecord d = Device("SN-Ü1");
    d.crc = "code";
    d.media = "label";
    d.paper_width_mm = 80;
    d.paper_height_mm = 40;
    d.network = "Lan";
    d.type_name = "Q1";
    d.status = 3;
    d.lanIp = "127.0.0.5";
    d.prev_port = "ignored on save";
    ASSERT_TRUE(store_.UpsertDevice(d));
    DeviceRecord got = Only();
    EXPECT_EQ(got.sn, "SN-Ü1");
    EXPECT_EQ(got.port, 39100);
    EXPECT_EQ(got.devname, "前台");
    EXPECT_EQ(got.printer_driver, "Receipt Q");
    EXPECT_EQ(got.crc, "code");
    EXPECT_EQ(got.media, "label");
    EXPECT_EQ(got.paper_width_mm, 80);
    EXPECT_EQ(got.paper_height_mm, 40);
    EXPECT_EQ(got.network, "");
    EXPECT_EQ(got.type_name, "");
    EXPECT_EQ(got.status, -1);
    EXPECT_EQ(got.lanIp, "");
    // prev_port is only written by the binding.
    EXPECT_EQ(got.prev_port, "");
}

TEST_F(DeviceTableTest, PaperSizeDefaultsOnInsertAndUpdate) {
    struct Step {
        int32_t width, height;
        int32_t wantWidth, wantHeight;
    };
    // Applied in order to one device: the first is the insert.
    const Step steps[] = {
        {0, 0, 58, 0},     // new device: width 0 -> 58, height stays 0
        {80, 120, 80, 120},
        {0, 0, 58, 120},   // width 0 -> 58 again, height 0 keeps the stored height
        {-5, -1, 58, 120}, // negatives count as not set
        {76, 30, 76, 30},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height);
        DeviceRecord d = Device("SN1");
        d.paper_width_mm = s.width;
        d.paper_height_mm = s.height;
        ASSERT_TRUE(store_.UpsertDevice(d));
        DeviceRecord got = Only();
        EXPECT_EQ(got.paper_width_mm, s.wantWidth);
        EXPECT_EQ(got.paper_height_mm, s.wantHeight);
    }
}

TEST_F(DeviceTableTest, UpdateReplacesValuesButKeepsCreationTimeAndPreviousPort) {
    ASSERT_TRUE(store_.UpsertDevice(Device("SN1")));
    RawDb raw(path_);
    ASSERT_EQ(raw.Exec("UPDATE device SET created_at='2020-01-01T00:00:00'"), "");
    ASSERT_TRUE(store_.UpdateDeviceBinding("SN1", "Kitchen", "USB001"));

    DeviceRecord d = Device("SN1");
    d.port = 39101;
    d.devname = "Back";
    d.printer_driver = "Kitchen 2";
    d.crc = "new";
    d.media = "";  // empty saves as receipt
    d.prev_port = "other";
    ASSERT_TRUE(store_.UpsertDevice(d));

    EXPECT_EQ(raw.One("SELECT created_at, prev_port, media FROM device"),
              "2020-01-01T00:00:00|USB001|receipt");
    DeviceRecord got = Only();
    EXPECT_EQ(got.port, 39101);
    EXPECT_EQ(got.devname, "Back");
    EXPECT_EQ(got.printer_driver, "Kitchen 2");
    EXPECT_EQ(got.crc, "new");
    EXPECT_EQ(got.prev_port, "USB001");
}

TEST_F(DeviceTableTest, FirstSaveStampsCreationTime) {
    ASSERT_TRUE(store_.UpsertDevice(Device("SN1")));
    RawDb raw(path_);
    const std::string created = raw.One("SELECT created_at FROM device");
    ASSERT_EQ(created.size(), 19u) << created;
    EXPECT_EQ(created[4], '-');
    EXPECT_EQ(created[10], 'T');
    EXPECT_EQ(created[13], ':');
}

TEST_F(DeviceTableTest, ListKeepsFirstSaveOrderAndDeleteRemovesOneRow) {
    for (const char* sn : {"B", "A", "C"}) ASSERT_TRUE(store_.UpsertDevice(Device(sn)));
    ASSERT_TRUE(store_.UpsertDevice(Device("A")));  // an update does not move it
    auto list = store_.ListDevices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].sn, "B");
    EXPECT_EQ(list[1].sn, "A");
    EXPECT_EQ(list[2].sn, "C");

    EXPECT_TRUE(store_.DeleteDevice("unknown"));
    EXPECT_EQ(store_.ListDevices().size(), 3u);
    EXPECT_TRUE(store_.DeleteDevice("A"));
    list = store_.ListDevices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].sn, "B");
    EXPECT_EQ(list[1].sn, "C");
}

TEST_F(DeviceTableTest, BindingSetsQueueAndPreviousPortOfThatDeviceOnly) {
    ASSERT_TRUE(store_.UpsertDevice(Device("SN1")));
    ASSERT_TRUE(store_.UpsertDevice(Device("SN2")));
    ASSERT_TRUE(store_.UpdateDeviceBinding("SN2", "Label Printer", "LPT1:"));
    auto list = store_.ListDevices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].printer_driver, "Receipt Q");
    EXPECT_EQ(list[0].prev_port, "");
    EXPECT_EQ(list[1].printer_driver, "Label Printer");
    EXPECT_EQ(list[1].prev_port, "LPT1:");
    EXPECT_TRUE(store_.UpdateDeviceBinding("unknown", "x", "y"));
}

TEST_F(DeviceTableTest, FailedWriteIsLoggedAndReportedFalse) {
    RawDb raw(path_);
    // A trigger that refuses every insert stands in for a database that
    // refuses the row.
    ASSERT_EQ(raw.Exec("CREATE TRIGGER refuse BEFORE INSERT ON device BEGIN "
                       "SELECT RAISE(ABORT, 'refused'); END"),
              "");
    LogWatch log;
    EXPECT_FALSE(store_.UpsertDevice(Device("SN1")));
    EXPECT_EQ(log.Count("ERR", "保存设备失败: refused"), 1);
}

}  // namespace
}  // namespace qs
