#include "storage/sqlite_handles.h"

bool SqliteConnection::Open(const std::string& path, bool create, int busyMs, std::string& error) {
    Close();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open the database";
        Close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyMs);
    return true;
}

void SqliteConnection::Close() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
}

SqliteStatement::SqliteStatement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
    }
}

bool SqliteExec(sqlite3* db, const std::string& sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

long long SqliteNumber(sqlite3* db, const std::string& sql, long long fallback) {
    SqliteStatement statement(db, sql);
    if (!statement.Ok() || sqlite3_step(statement.Get()) != SQLITE_ROW) return fallback;
    return sqlite3_column_int64(statement.Get(), 0);
}

sqlite3_stmt* StatementCache::Get(const char* sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        auto statement = std::make_unique<SqliteStatement>(db_, sql);
        if (!statement->Ok()) return nullptr;
        found = statements_.emplace(sql, std::move(statement)).first;
    }
    sqlite3_stmt* statement = found->second->Get();
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return statement;
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void BindTextOrNull(sqlite3_stmt* statement, int index, const std::string& text) {
    if (text.empty()) {
        sqlite3_bind_null(statement, index);
    } else {
        BindText(statement, index, text);
    }
}

int StepDone(sqlite3_stmt* statement) {
    if (statement == nullptr) return SQLITE_ERROR;
    const int code = sqlite3_step(statement);
    sqlite3_reset(statement);
    return code;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text != nullptr ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column))) : "";
}
