#include "storage/sqlite_database.h"

#include <sqlite3.h>

#include <map>
#include <mutex>

namespace {

bool IsBusy(int code) {
    return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
}

// The connection and its statements, shared by the copies of a Database.
struct SqliteState {
    sqlite3* db = nullptr;
    std::map<const void*, sqlite3_stmt*> prepared;   // constants of the code, by address
    std::map<std::string, sqlite3_stmt*> byText;     // statements built at run time, kept while few

    ~SqliteState() { Close(); }
    void Close() {
        for (auto& [key, statement] : prepared) sqlite3_finalize(statement);
        for (auto& [key, statement] : byText) sqlite3_finalize(statement);
        prepared.clear();
        byText.clear();
        if (db != nullptr) sqlite3_close_v2(db);
        db = nullptr;
    }
};

constexpr size_t MaxTextStatements = 64;

void Bind(sqlite3_stmt* statement, const std::vector<SqlValue>& parameters) {
    for (size_t i = 0; i < parameters.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        const SqlValue& value = parameters[i];
        switch (value.kind) {
            case SqlValue::Kind::Null: sqlite3_bind_null(statement, index); break;
            case SqlValue::Kind::Integer: sqlite3_bind_int64(statement, index, value.integer); break;
            case SqlValue::Kind::Real: sqlite3_bind_double(statement, index, value.real); break;
            case SqlValue::Kind::Text:
                sqlite3_bind_text(statement, index, value.text.data(), static_cast<int>(value.text.size()),
                                  SQLITE_STATIC);
                break;
            case SqlValue::Kind::Blob:
                sqlite3_bind_blob(statement, index, value.text.data(), static_cast<int>(value.text.size()),
                                  SQLITE_STATIC);
                break;
        }
    }
}

SqlResult Step(sqlite3* db, sqlite3_stmt* statement, const std::vector<SqlValue>& parameters) {
    SqlResult result;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    Bind(statement, parameters);
    const int columns = sqlite3_column_count(statement);
    for (int i = 0; i < columns; ++i) result.columns.emplace_back(sqlite3_column_name(statement, i));
    int code = 0;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        SqlRow row;
        row.values.resize(static_cast<size_t>(columns));
        row.nulls.resize(static_cast<size_t>(columns));
        for (int i = 0; i < columns; ++i) {
            const auto column = static_cast<size_t>(i);
            if (sqlite3_column_type(statement, i) == SQLITE_NULL) {
                row.nulls[column] = true;
                continue;
            }
            const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, i));
            const int size = sqlite3_column_bytes(statement, i);
            if (data != nullptr) row.values[column].assign(data, static_cast<size_t>(size));
        }
        result.rows.push_back(std::move(row));
    }
    if (code != SQLITE_DONE) {
        result.status = IsBusy(code) ? SqlStatus::Busy : SqlStatus::Failed;
        result.error = sqlite3_errmsg(db);
    } else {
        result.changes = sqlite3_changes(db);
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);  // the bound texts belong to the caller
    return result;
}

SqlResult Prepared(SqliteState& state, sqlite3_stmt*& slot, const char* sql, const std::vector<SqlValue>& parameters) {
    if (slot == nullptr && sqlite3_prepare_v2(state.db, sql, -1, &slot, nullptr) != SQLITE_OK) {
        SqlResult result;
        result.status = IsBusy(sqlite3_errcode(state.db)) ? SqlStatus::Busy : SqlStatus::Failed;
        result.error = sqlite3_errmsg(state.db);
        sqlite3_finalize(slot);
        slot = nullptr;
        return result;
    }
    return Step(state.db, slot, parameters);
}

}  // namespace

bool OpenSqliteDatabase(const std::string& path, bool create, int busyMs, Database& db, std::string& error) {
    auto state = std::make_shared<SqliteState>();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &state->db, flags, nullptr) != SQLITE_OK) {
        error = state->db != nullptr ? sqlite3_errmsg(state->db) : "cannot open the database";
        return false;
    }
    sqlite3_extended_result_codes(state->db, 1);
    sqlite3_busy_timeout(state->db, busyMs);
    db.dialect = Dialect::Sqlite;
    // One connection is used by one thread at a time; the mutex guards the
    // statement caches against a copy of the Database used elsewhere.
    auto mutex = std::make_shared<std::mutex>();
    db.run = [state, mutex](const char* sql, const std::vector<SqlValue>& parameters) {
        std::lock_guard<std::mutex> lock(*mutex);
        if (state->db == nullptr) return SqlResult{SqlStatus::Failed, "the connection is closed", {}, {}, 0};
        return Prepared(*state, state->prepared[sql], sql, parameters);
    };
    db.runText = [state, mutex](const std::string& sql, const std::vector<SqlValue>& parameters) {
        std::lock_guard<std::mutex> lock(*mutex);
        if (state->db == nullptr) return SqlResult{SqlStatus::Failed, "the connection is closed", {}, {}, 0};
        if (state->byText.size() >= MaxTextStatements && state->byText.count(sql) == 0) {
            for (auto& [key, statement] : state->byText) sqlite3_finalize(statement);
            state->byText.clear();
        }
        return Prepared(*state, state->byText[sql], sql.c_str(), parameters);
    };
    db.close = [state, mutex] {
        std::lock_guard<std::mutex> lock(*mutex);
        state->Close();
    };
    return true;
}
