#include <sqlite3.h>

#include "store/config_store.h"
#include "store/sql_statement.h"

namespace qs {

SettingsRecord ConfigStore::LoadSettings() {
    SettingsRecord s;
    Statement st(db_, "SELECT multi,msg,lang,api_enabled,api_port FROM sysconf LIMIT 1");
    if (!st.ok() || !st.StepRow()) return s;
    // Only the text "1" is true; "true", NULL and the rest are false.
    s.multi = st.ColumnText(0) == "1";
    s.msg = st.ColumnText(1) == "1";
    std::string lang = st.ColumnText(2);
    if (!lang.empty()) s.lang = lang;
    s.api_enabled = st.ColumnText(3) == "1";
    int32_t port = st.ColumnInt(4);
    if (port > 0) s.api_port = port;
    return s;
}

bool ConfigStore::SaveSettings(const SettingsRecord& settings) {
    if (!db_) return false;
    // The row is replaced inside one transaction: a failing insert rolls the
    // delete back instead of leaving the user with the defaults. The
    // connection is shared, so its mutex is held for the whole transaction;
    // otherwise another thread's statement would run inside it (and be rolled
    // back with it), and a load between delete and insert would see no row.
    DbLock lock(db_);
    if (!Exec("BEGIN IMMEDIATE")) return false;
    bool ok = Exec("DELETE FROM sysconf");
    if (ok) {
        Statement st(db_,
                     "INSERT INTO sysconf (multi,msg,lang,api_enabled,api_port) "
                     "VALUES (?,?,?,?,?)");
        ok = st.ok();
        if (ok) {
            st.BindText(1, settings.multi ? "1" : "0");
            st.BindText(2, settings.msg ? "1" : "0");
            st.BindText(3, settings.lang);
            st.BindText(4, settings.api_enabled ? "1" : "0");
            st.BindInt(5, settings.api_port);
            ok = st.StepDone();
        }
    }
    if (ok && Exec("COMMIT")) return true;
    Exec("ROLLBACK");
    return false;
}

}  // namespace qs
