// Helpers for tests of the store and its users: a second, raw SQLite
// connection to build old-shape files and read columns as stored, and a
// view of the log lines written since a point in the test.
#pragma once
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/logger.h"

namespace qs::test {

class RawDb {
public:
    explicit RawDb(const std::wstring& path) { sqlite3_open16(path.c_str(), &db_); }
    ~RawDb() { sqlite3_close_v2(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    sqlite3* get() const { return db_; }

    // Runs statements; returns SQLite's error text, empty on success.
    std::string Exec(const std::string& sql) {
        char* err = nullptr;
        int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
        std::string text = rc == SQLITE_OK ? "" : (err ? err : "error");
        if (rc != SQLITE_OK && text.empty()) text = "error";
        sqlite3_free(err);
        return text;
    }

    // All rows of a query, each column as text ("NULL" for NULL), joined by '|'.
    std::vector<std::string> Rows(const std::string& sql) {
        std::vector<std::string> rows;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            rows.push_back(std::string("PREPARE FAILED: ") + sqlite3_errmsg(db_));
            return rows;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                if (i) row += "|";
                const unsigned char* t = sqlite3_column_text(st, i);
                row += t ? reinterpret_cast<const char*>(t) : "NULL";
            }
            rows.push_back(row);
        }
        sqlite3_finalize(st);
        return rows;
    }

    std::string One(const std::string& sql) {
        auto rows = Rows(sql);
        return rows.empty() ? std::string("<no row>") : rows.front();
    }

    // Column names of a table in stored order, joined by ','.
    std::string Columns(const std::string& table) {
        std::string out;
        for (const auto& r : Rows("SELECT name FROM pragma_table_info('" + table + "')")) {
            if (!out.empty()) out += ",";
            out += r;
        }
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

// Lines logged after construction. A unique marker line separates them from
// what earlier tests of the same process logged.
class LogWatch {
public:
    LogWatch() {
        static std::atomic<int> counter{0};
        marker_ = "log-watch-marker-" + std::to_string(counter++);
        LogInfo(marker_);
    }

    std::vector<std::string> Lines() const {
        std::vector<std::string> all = Logger::Instance().RecentLines(0);
        std::vector<std::string> after;
        bool seen = false;
        for (const auto& line : all) {
            if (seen) after.push_back(line);
            else if (line.find(marker_) != std::string::npos) seen = true;
        }
        return after;
    }

    // Lines at the level ("ERR", "WRN", "INF") whose message contains text.
    int Count(const std::string& level, const std::string& text) const {
        int n = 0;
        for (const auto& line : Lines()) {
            if (line.find("[" + level + "] ") != std::string::npos &&
                line.find(text) != std::string::npos)
                ++n;
        }
        return n;
    }

private:
    std::string marker_;
};

}  // namespace qs::test
