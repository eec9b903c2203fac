// RAII helpers over the one shared SQLite connection: a prepared statement
// that finalises itself, and a hold on the connection's own mutex.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace qs {

// Holds the connection's mutex for a scope. SQLite serialises each call on
// the shared connection, but not a step together with the reads that depend
// on it (sqlite3_changes, sqlite3_last_insert_rowid): another thread's
// statement could complete in between and overwrite those counters. The
// mutex is recursive, so SQLite calls made while holding it still work.
class DbLock {
public:
    explicit DbLock(sqlite3* db) : mutex_(db ? sqlite3_db_mutex(db) : nullptr) {
        if (mutex_) sqlite3_mutex_enter(mutex_);
    }
    ~DbLock() {
        if (mutex_) sqlite3_mutex_leave(mutex_);
    }
    DbLock(const DbLock&) = delete;
    DbLock& operator=(const DbLock&) = delete;

private:
    sqlite3_mutex* mutex_;
};

// One prepared statement, finalised when it goes out of scope. Parameters
// are bound by position starting at 1; columns are read from 0.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (db) sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
    }
    ~Statement() {
        if (stmt_) sqlite3_finalize(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }

    void BindText(int index, const std::string& value) {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void BindInt(int index, int32_t value) { sqlite3_bind_int(stmt_, index, value); }
    void BindInt64(int index, int64_t value) {
        sqlite3_bind_int64(stmt_, index, static_cast<sqlite3_int64>(value));
    }

    // sqlite3_step's result code.
    int Step() { return sqlite3_step(stmt_); }
    bool StepRow() { return Step() == SQLITE_ROW; }
    bool StepDone() { return Step() == SQLITE_DONE; }

    int32_t ColumnInt(int column) const { return sqlite3_column_int(stmt_, column); }
    int64_t ColumnInt64(int column) const {
        return static_cast<int64_t>(sqlite3_column_int64(stmt_, column));
    }
    bool ColumnIsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    // NULL reads as empty text.
    std::string ColumnText(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        if (!text) return std::string();
        return std::string(reinterpret_cast<const char*>(text),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace qs
