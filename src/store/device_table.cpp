#include <sqlite3.h>

#include "foundation/logger.h"
#include "foundation/secret.h"
#include "foundation/time_util.h"
#include "store/config_store.h"
#include "store/sql_statement.h"

namespace qs {

namespace {

// A width of 0 is stored as 58 mm (the common receipt roll); a height of 0
// keeps what is stored, since continuous paper has none.
const char kUpsertDevice[] =
    "INSERT INTO device (sn, port, devname, printer_driver, created_at, crc, media, "
    "paper_width_mm, paper_height_mm) VALUES (?,?,?,?,?,?,?,?,?) "
    "ON CONFLICT(sn) DO UPDATE SET port=excluded.port, devname=excluded.devname, "
    "printer_driver=excluded.printer_driver, crc=excluded.crc, media=excluded.media, "
    "paper_width_mm=CASE WHEN excluded.paper_width_mm>0 THEN excluded.paper_width_mm "
    "ELSE device.paper_width_mm END, "
    "paper_height_mm=CASE WHEN excluded.paper_height_mm>0 THEN excluded.paper_height_mm "
    "ELSE device.paper_height_mm END";

}  // namespace

bool ConfigStore::UpsertDevice(const DeviceRecord& device) {
    std::string crc;
    if (!device.crc.empty() && !ProtectSecret(device.crc, crc)) {
        LogWarn("设备验证码 DPAPI 加密失败，按明文存储");
        crc = device.crc;
    }

    // Held so that the error text read after a failure is this statement's.
    DbLock lock(db_);
    Statement st(db_, kUpsertDevice);
    if (!st.ok()) {
        LogError(std::string("保存设备失败: ") + (db_ ? sqlite3_errmsg(db_) : ""));
        return false;
    }
    st.BindText(1, device.sn);
    st.BindInt(2, device.port);
    st.BindText(3, device.devname);
    st.BindText(4, device.printer_driver);
    st.BindText(5, LocalTimestamp());
    st.BindText(6, crc);
    st.BindText(7, device.media.empty() ? std::string("receipt") : device.media);
    st.BindInt(8, device.paper_width_mm > 0 ? device.paper_width_mm : 58);
    st.BindInt(9, device.paper_height_mm > 0 ? device.paper_height_mm : 0);
    if (!st.StepDone()) {
        LogError(std::string("保存设备失败: ") + sqlite3_errmsg(db_));
        return false;
    }
    return true;
}

std::vector<DeviceRecord> ConfigStore::ListDevices() {
    std::vector<DeviceRecord> devices;
    Statement st(db_,
                 "SELECT sn, port, devname, printer_driver, COALESCE(crc,''), "
                 "COALESCE(media,'receipt'), COALESCE(paper_width_mm,0), "
                 "COALESCE(paper_height_mm,0), COALESCE(prev_port,'') FROM device");
    if (!st.ok()) return devices;
    while (st.StepRow()) {
        DeviceRecord d;
        d.sn = st.ColumnText(0);
        d.port = st.ColumnInt(1);
        d.devname = st.ColumnText(2);
        d.printer_driver = st.ColumnText(3);
        std::string stored = st.ColumnText(4);
        // A code kept in plain text after a failed protection does not
        // unprotect and loads empty, like any other unreadable value.
        std::string plain;
        if (!stored.empty() && UnprotectSecret(stored, plain)) d.crc = plain;
        d.media = st.ColumnText(5);
        if (d.media.empty()) d.media = "receipt";
        d.paper_width_mm = st.ColumnInt(6);
        if (d.paper_width_mm < 1) d.paper_width_mm = 0;
        d.paper_height_mm = st.ColumnInt(7);
        if (d.paper_height_mm < 1) d.paper_height_mm = 0;
        d.prev_port = st.ColumnText(8);
        devices.push_back(std::move(d));
    }
    return devices;
}

bool ConfigStore::DeleteDevice(const std::string& sn) {
    Statement st(db_, "DELETE FROM device WHERE sn=?");
    if (!st.ok()) return false;
    st.BindText(1, sn);
    return st.StepDone();
}

bool ConfigStore::UpdateDeviceBinding(const std::string& sn, const std::string& printerDriver,
                                      const std::string& prevPort) {
    Statement st(db_, "UPDATE device SET printer_driver=?, prev_port=? WHERE sn=?");
    if (!st.ok()) return false;
    st.BindText(1, printerDriver);
    st.BindText(2, prevPort);
    st.BindText(3, sn);
    return st.StepDone();
}

}  // namespace qs
