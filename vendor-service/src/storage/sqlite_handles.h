// Guards for SQLite's handles, closed on every path, and small helpers.
#pragma once
#include <sqlite3.h>

#include <map>
#include <memory>
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

// Statements prepared once per connection and used again, keyed by their
// text (constants of the code, so the key is the text's address).
class StatementCache {
public:
    explicit StatementCache(sqlite3* db) : db_(db) {}
    // The statement, reset and without bindings; nullptr when it does not
    // prepare (the connection's error says why).
    sqlite3_stmt* Get(const char* sql);
    sqlite3* Db() const { return db_; }

private:
    sqlite3* db_;
    std::map<const char*, std::unique_ptr<SqliteStatement>> statements_;
};

// Binds text, NULL when empty (for optional members).
void BindText(sqlite3_stmt* statement, int index, const std::string& text);
void BindTextOrNull(sqlite3_stmt* statement, int index, const std::string& text);

// Steps a statement that returns no row; the result code (SQLITE_DONE when it went through).
int StepDone(sqlite3_stmt* statement);

// The text of a column ("" for NULL).
std::string ColumnText(sqlite3_stmt* statement, int column);
