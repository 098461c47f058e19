#include "report_store.h"

#include <set>

namespace {

// A prepared statement finalized on every path.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* Get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
};

std::string CreateTableSql(ReportKind kind) {
    std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + TableOf(kind) +
                      " (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at TEXT NOT NULL,"
                      " client_address TEXT NOT NULL, raw_body BLOB NOT NULL, members TEXT NOT NULL";
    for (const ColumnSpec& column : ColumnsOf(kind)) {
        sql += std::string(", \"") + column.member + "\" " + (column.integer ? "INTEGER" : "TEXT");
    }
    return sql + ")";
}

// Every column a table of this kind needs, fixed ones first.
std::vector<std::string> NeededColumns(ReportKind kind) {
    std::vector<std::string> names = {"id", "received_at", "client_address", "raw_body", "members"};
    for (const ColumnSpec& column : ColumnsOf(kind)) names.emplace_back(column.member);
    return names;
}

}  // namespace

ReportStore::~ReportStore() {
    if (db_ != nullptr) sqlite3_close(db_);
}

bool ReportStore::Execute(const std::string& sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : "sqlite error";
    sqlite3_free(message);
    return false;
}

bool ReportStore::Open(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        error = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open database";
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    for (ReportKind kind : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        if (!Execute(CreateTableSql(kind), error)) return false;
    }
    return true;
}

bool ReportStore::HasCurrentLayout(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ReportKind kind : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        Statement statement(db_, std::string("SELECT name FROM pragma_table_info('") + TableOf(kind) + "')");
        std::set<std::string> present;
        while (statement.Get() != nullptr && sqlite3_step(statement.Get()) == SQLITE_ROW) {
            present.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement.Get(), 0)));
        }
        for (const std::string& name : NeededColumns(kind)) {
            if (present.count(name) == 0) {
                error = std::string("table ") + TableOf(kind) + " has no column \"" + name + "\"";
                return false;
            }
        }
    }
    return true;
}

long long ReportStore::Insert(ReportKind kind, const std::string& receivedAt, const std::string& clientAddress,
                              const std::string& rawBody, const ParsedReport& report, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<ColumnSpec>& columns = ColumnsOf(kind);
    std::string names = "received_at, client_address, raw_body, members";
    std::string marks = "?, ?, ?, ?";
    for (const ColumnSpec& column : columns) {
        names += std::string(", \"") + column.member + "\"";
        marks += ", ?";
    }
    Statement statement(db_, std::string("INSERT INTO ") + TableOf(kind) + " (" + names + ") VALUES (" + marks + ")");
    if (statement.Get() == nullptr) {
        error = sqlite3_errmsg(db_);
        return -1;
    }
    sqlite3_bind_text(statement.Get(), 1, receivedAt.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.Get(), 2, clientAddress.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(statement.Get(), 3, rawBody.data(), static_cast<int>(rawBody.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.Get(), 4, report.membersJson.c_str(), -1, SQLITE_TRANSIENT);
    for (size_t i = 0; i < columns.size() && i < report.columns.size(); ++i) {
        const int index = static_cast<int>(i) + 5;
        const ColumnValue& value = report.columns[i];
        if (!value.present) {
            sqlite3_bind_null(statement.Get(), index);
        } else if (columns[i].integer) {
            sqlite3_bind_int64(statement.Get(), index, value.number);
        } else {
            sqlite3_bind_text(statement.Get(), index, value.text.c_str(), static_cast<int>(value.text.size()),
                              SQLITE_TRANSIENT);
        }
    }
    if (sqlite3_step(statement.Get()) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return -1;
    }
    return sqlite3_last_insert_rowid(db_);
}

std::vector<StoredRow> ReportStore::Last(ReportKind kind, int count, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StoredRow> rows;
    Statement statement(db_, std::string("SELECT * FROM ") + TableOf(kind) + " ORDER BY id DESC LIMIT ?");
    if (statement.Get() == nullptr) {
        error = sqlite3_errmsg(db_);
        return rows;
    }
    sqlite3_bind_int(statement.Get(), 1, count);
    while (sqlite3_step(statement.Get()) == SQLITE_ROW) {
        StoredRow row;
        for (int i = 0; i < sqlite3_column_count(statement.Get()); ++i) {
            const unsigned char* text = sqlite3_column_text(statement.Get(), i);
            const int size = sqlite3_column_bytes(statement.Get(), i);
            row.values[sqlite3_column_name(statement.Get(), i)] =
                text != nullptr ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
        }
        rows.push_back(row);
    }
    return rows;
}
