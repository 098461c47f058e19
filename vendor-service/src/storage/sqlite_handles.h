// Guards for SQLite's handles, closed on every path, and small helpers.
#pragma once
#include <sqlite3.h>

#include <string>

// A connection, closed with its guard.
class SqliteConnection {
public:
    SqliteConnection() = default;
    ~SqliteConnection() { Close(); }
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Opens (creating when asked) with busy waits of at most busyMs.
    bool Open(const std::string& path, bool create, int busyMs, std::string& error);
    void Close();
    sqlite3* Get() const { return db_; }
    bool IsOpen() const { return db_ != nullptr; }

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement, finalized with its guard.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const std::string& sql);
    ~SqliteStatement() { sqlite3_finalize(statement_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    sqlite3_stmt* Get() const { return statement_; }
    bool Ok() const { return statement_ != nullptr; }

private:
    sqlite3_stmt* statement_ = nullptr;
};

// Runs statements without results; false with SQLite's message.
bool SqliteExec(sqlite3* db, const std::string& sql, std::string& error);

// The first column of the first row as a number (PRAGMA values, counts);
// `fallback` when there is none.
long long SqliteNumber(sqlite3* db, const std::string& sql, long long fallback);
