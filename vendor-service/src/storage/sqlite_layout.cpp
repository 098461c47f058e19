#include "storage/sqlite_layout.h"

#include <set>
#include <vector>

#include "agents/report_parsing.h"
#include "storage/sqlite_handles.h"

namespace {

constexpr ReportKind AllKinds[] = {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance};

std::string CreateTableSql(ReportKind kind) {
    std::string sql = std::string("CREATE TABLE ") + TableOf(kind) +
                      " (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at TEXT NOT NULL,"
                      " client_address TEXT NOT NULL, raw_body BLOB NOT NULL";
    for (const ColumnSpec& column : ColumnsOf(kind)) {
        sql += std::string(", \"") + column.member + "\" " + (column.integer ? "INTEGER" : "TEXT");
    }
    return sql + ");";
}

std::set<std::string> ColumnsOfTable(sqlite3* db, const std::string& table) {
    std::set<std::string> present;
    SqliteStatement statement(db, "SELECT name FROM pragma_table_info('" + table + "')");
    while (statement.Ok() && sqlite3_step(statement.Get()) == SQLITE_ROW) {
        present.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement.Get(), 0)));
    }
    return present;
}

// Every column a report table needs, fixed ones first.
std::vector<std::string> NeededColumns(ReportKind kind) {
    std::vector<std::string> names = {"id", "received_at", "client_address", "raw_body"};
    for (const ColumnSpec& column : ColumnsOf(kind)) names.emplace_back(column.member);
    return names;
}

// Layout 0 to 1: creates the tables, or takes the first layout's tables
// when they have every column, dropping the JSON copy of the members.
LayoutOutcome UpgradeFrom0(sqlite3* db, std::string& error) {
    for (ReportKind kind : AllKinds) {
        const std::set<std::string> present = ColumnsOfTable(db, TableOf(kind));
        if (present.empty()) {
            if (!SqliteExec(db, CreateTableSql(kind), error)) return LayoutOutcome::Failed;
            continue;
        }
        for (const std::string& name : NeededColumns(kind)) {
            if (present.count(name) == 0) {
                error = std::string("table ") + TableOf(kind) + " has no column \"" + name + "\"";
                return LayoutOutcome::Refused;
            }
        }
        if (present.count("members") != 0 &&
            !SqliteExec(db, std::string("ALTER TABLE ") + TableOf(kind) + " DROP COLUMN members", error)) {
            return LayoutOutcome::Failed;
        }
    }
    return LayoutOutcome::Ready;
}

}  // namespace

LayoutOutcome PrepareSqliteLayout(sqlite3* db, std::string& error) {
    long long version = SqliteNumber(db, "PRAGMA user_version", -1);
    if (version == CurrentSqliteLayout) return LayoutOutcome::Ready;
    if (version < 0) {
        error = sqlite3_errmsg(db);
        return LayoutOutcome::Failed;
    }
    if (!SqliteExec(db, "BEGIN IMMEDIATE", error)) return LayoutOutcome::Failed;
    // Read again inside the transaction: another process may have upgraded it.
    version = SqliteNumber(db, "PRAGMA user_version", -1);
    LayoutOutcome outcome = LayoutOutcome::Ready;
    if (version > CurrentSqliteLayout) {
        error = "layout " + std::to_string(version) + " is newer than this service's (" +
                std::to_string(CurrentSqliteLayout) + ")";
        outcome = LayoutOutcome::Refused;
    } else if (version == 0) {
        outcome = UpgradeFrom0(db, error);
    }
    if (outcome == LayoutOutcome::Ready && version != CurrentSqliteLayout &&
        !SqliteExec(db, "PRAGMA user_version = " + std::to_string(CurrentSqliteLayout), error)) {
        outcome = LayoutOutcome::Failed;
    }
    std::string ignored;
    if (outcome != LayoutOutcome::Ready) {
        SqliteExec(db, "ROLLBACK", ignored);
        return outcome;
    }
    if (!SqliteExec(db, "COMMIT", error)) {
        SqliteExec(db, "ROLLBACK", ignored);
        return LayoutOutcome::Failed;
    }
    return LayoutOutcome::Ready;
}
