#include "storage/store_copy.h"

#include <algorithm>

namespace {

constexpr size_t RowsPerRead = 2000;
constexpr size_t RowsPerInsert = 100;

struct KeyColumn {
    const char* name;
    bool integer;
};

struct TableToCopy {
    const char* name;
    std::vector<KeyColumn> key;  // the order rows are read in, and where a read goes on
    bool numbered;               // its id is the store's own numbering
};

// Parents before the rows that name them.
const std::vector<TableToCopy>& Tables() {
    static const std::vector<TableToCopy> tables = {
        {"releases", {{"id", true}}, true},
        {"rollouts", {{"id", true}}, true},
        {"installations", {{"id", false}}, false},
        {"rollout_installations", {{"rollout_id", true}, {"installation_id", false}}, false},
        {"rollout_stage_counts", {{"rollout_id", true}, {"stage", true}}, false},
        {"rollout_stage_networks", {{"rollout_id", true}, {"stage", true}, {"network", false}}, false},
        {"rollout_hours", {{"rollout_id", true}, {"hour", true}}, false},
        {"rollout_failure_groups", {{"rollout_id", true}, {"step", false}, {"code", true}}, false},
        {"rollout_events", {{"id", true}}, true},
        {"operators", {{"name", false}}, false},
        {"audit_log", {{"id", true}}, true},
        {"api_tokens", {{"id", true}}, true},
        {"webhooks", {{"id", true}}, true},
        {"webhook_deliveries", {{"id", true}}, true},
        {"webhook_attempts", {{"id", true}}, true},
        {"checkins", {{"id", true}}, true},
        {"update_reports", {{"id", true}}, true},
        {"acceptance_reports", {{"id", true}}, true},
        {"service_secret", {{"name", false}}, false},  // ids and tokens stay valid in the new store
    };
    return tables;
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string Joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

std::string Placeholders(size_t first, size_t count) {
    std::vector<std::string> marks;
    for (size_t i = 0; i < count; ++i) marks.push_back("?" + std::to_string(first + i));
    return "(" + Joined(marks) + ")";
}

// The next rows after `after` (none: from the start), in key order.
std::string ReadSql(const TableToCopy& table, bool fromStart) {
    std::vector<std::string> key;
    for (const KeyColumn& column : table.key) key.emplace_back(column.name);
    std::string sql = std::string("SELECT * FROM ") + table.name;
    if (!fromStart) sql += " WHERE (" + Joined(key) + ") > " + Placeholders(1, key.size());
    return sql + " ORDER BY " + Joined(key) + " LIMIT " + std::to_string(RowsPerRead);
}

std::vector<SqlValue> KeyOf(const TableToCopy& table, const SqlResult& read, const SqlRow& row) {
    std::vector<SqlValue> key;
    for (const KeyColumn& column : table.key) {
        const auto at = static_cast<size_t>(
            std::find(read.columns.begin(), read.columns.end(), column.name) - read.columns.begin());
        key.push_back(column.integer ? Int(row.Int(at)) : Text(row.Text(at)));
    }
    return key;
}

SqlValue ValueOf(const SqlRow& row, size_t column, bool blob) {
    if (row.IsNull(column)) return Null();
    return blob ? Blob(row.values[column]) : Text(row.values[column]);
}

// Rows [first, last) of a read, in one statement.
SqlResult InsertRows(const Database& to, const TableToCopy& table, const SqlResult& read, size_t first, size_t last) {
    std::vector<std::string> names;
    for (const std::string& column : read.columns) names.push_back(Quoted(column));
    std::string sql = std::string("INSERT INTO ") + table.name + " (" + Joined(names) + ") VALUES ";
    std::vector<SqlValue> values;
    const size_t width = read.columns.size();
    for (size_t r = first; r < last; ++r) {
        sql += (r == first ? "" : ", ") + Placeholders(values.size() + 1, width);
        for (size_t c = 0; c < width; ++c) values.push_back(ValueOf(read.rows[r], c, read.columns[c] == "raw_body"));
    }
    return to.RunText(sql, values);
}

bool Failed(const SqlResult& result, const std::string& what, std::string& error) {
    if (result.Ok()) return false;
    error = what + ": " + result.error;
    return true;
}

bool TargetIsEmpty(const Database& to, bool& refused, std::string& error) {
    std::vector<std::string> names;
    for (const TableToCopy& table : Tables()) names.emplace_back(table.name);
    for (const std::string& name : names) {
        const SqlResult any = to.RunText("SELECT COUNT(*) FROM (SELECT 1 FROM " + name + " LIMIT 1) AS anything");
        if (Failed(any, "the target's " + name, error)) return false;
        if (any.Number() > 0) {
            refused = true;
            error = "the target already holds rows (" + name + "): copy only into a store no instance has used";
            return false;
        }
    }
    return true;
}

bool CopyTable(const Database& from, const Database& to, const TableToCopy& table, long long& rows,
               std::string& error) {
    std::vector<SqlValue> after;
    for (;;) {
        const SqlResult read = from.RunText(ReadSql(table, after.empty()), after);
        if (Failed(read, std::string("reading ") + table.name, error)) return false;
        for (size_t first = 0; first < read.rows.size(); first += RowsPerInsert) {
            const size_t last = std::min(read.rows.size(), first + RowsPerInsert);
            if (Failed(InsertRows(to, table, read, first, last), std::string("writing ") + table.name, error)) {
                return false;
            }
        }
        rows += static_cast<long long>(read.rows.size());
        if (read.rows.size() < RowsPerRead) break;
        after = KeyOf(table, read, read.rows.back());
    }
    if (to.dialect != Dialect::Postgres || !table.numbered || rows == 0) return true;
    // The target's numbering goes on after the copied ids (SQLite's does by itself).
    const std::string name = table.name;
    return !Failed(to.RunText("SELECT setval(pg_get_serial_sequence('" + name + "', 'id'), (SELECT MAX(id) FROM " +
                              name + "))"),
                   "numbering " + name, error);
}

}  // namespace

bool CopyStore(const Database& from, const Database& to, std::vector<CopiedTable>& copied, bool& refused,
               std::string& error) {
    refused = false;
    // One snapshot of the source, however long the copy takes.
    const char* snapshot =
        from.dialect == Dialect::Postgres ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN";
    if (Failed(from.RunText(snapshot), "the source", error)) return false;
    if (Failed(Begin(to), "the target", error)) {
        from.RunText("ROLLBACK");
        return false;
    }
    bool ok = TargetIsEmpty(to, refused, error);
    for (const TableToCopy& table : Tables()) {
        if (!ok) break;
        CopiedTable count{table.name, 0};
        ok = CopyTable(from, to, table, count.rows, error);
        copied.push_back(count);
    }
    from.RunText("ROLLBACK");
    if (ok && !Failed(Commit(to), "committing the copy", error)) return true;
    Rollback(to);
    copied.clear();
    return false;
}
