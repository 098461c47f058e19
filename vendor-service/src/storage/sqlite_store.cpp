#include "storage/sqlite_store.h"

#include <chrono>
#include <ctime>
#include <memory>

#include "storage/sqlite_fleet.h"
#include "storage/sqlite_layout.h"

namespace {

constexpr ReportKind AllKinds[] = {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance};

bool IsBusy(int code) {
    return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
}

// The report columns, then installation_id (check-ins and update reports)
// and rollout_id (update reports).
std::string InsertSql(ReportKind kind) {
    std::string names = "received_at, client_address, raw_body";
    std::string marks = "?, ?, ?";
    for (const ColumnSpec& column : ColumnsOf(kind)) {
        names += std::string(", \"") + column.member + "\"";
        marks += ", ?";
    }
    if (kind != ReportKind::Acceptance) names += ", installation_id", marks += ", ?";
    if (kind == ReportKind::Update) names += ", rollout_id", marks += ", ?";
    return std::string("INSERT INTO ") + TableOf(kind) + " (" + names + ") VALUES (" + marks + ")";
}

void BindRow(sqlite3_stmt* statement, const PendingRow& row) {
    sqlite3_bind_text(statement, 1, row.receivedAt.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, row.clientAddress.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_blob(statement, 3, row.rawBody.data(), static_cast<int>(row.rawBody.size()), SQLITE_STATIC);
    const std::vector<ColumnSpec>& columns = ColumnsOf(row.kind);
    for (size_t i = 0; i < columns.size() && i < row.report.columns.size(); ++i) {
        const int index = static_cast<int>(i) + 4;
        const ColumnValue& value = row.report.columns[i];
        if (!value.present) {
            sqlite3_bind_null(statement, index);
        } else if (columns[i].integer) {
            sqlite3_bind_int64(statement, index, value.number);
        } else {
            sqlite3_bind_text(statement, index, value.text.data(), static_cast<int>(value.text.size()),
                              SQLITE_STATIC);
        }
    }
    int next = static_cast<int>(columns.size()) + 4;
    if (row.kind != ReportKind::Acceptance) {
        const std::string* installation = row.checkIn ? &row.checkIn->installationId
                                          : row.link  ? &row.link->installationId
                                                      : nullptr;
        if (installation != nullptr) {
            sqlite3_bind_text(statement, next, installation->c_str(), -1, SQLITE_STATIC);
        } else {
            sqlite3_bind_null(statement, next);
        }
        ++next;
    }
    if (row.kind == ReportKind::Update) {
        if (row.link) {
            sqlite3_bind_int64(statement, next, row.link->rolloutId);
        } else {
            sqlite3_bind_null(statement, next);  // unlinked: no token, or one that does not verify
        }
    }
}

std::string UtcDaysAgoText(int days) {
    const std::time_t then = std::time(nullptr) - static_cast<std::time_t>(days) * 86400;
    std::tm utc = {};
    gmtime_r(&then, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The writer's connection and what it keeps between batches.
struct WriterState {
    SqliteStoreSettings settings;
    SqliteConnection db;
    std::map<ReportKind, std::unique_ptr<SqliteStatement>> inserts;
    std::unique_ptr<StatementCache> statements;
    FleetMemory memory;
    bool trimming = false;  // over the size limit: removing down to 90 % of it
    int64_t advancedAt = 0;
};

// Opens the writer's connection, creating the database or bringing it to
// the current layout when it has to (a store that was unreachable when the
// service started is set up on the first connection that works).
bool Connect(WriterState& state, std::string& error) {
    state.inserts.clear();
    state.statements.reset();
    if (!state.db.Open(state.settings.path, true, state.settings.busyMs, error)) return false;
    sqlite3* db = state.db.Get();
    if (sqlite3_db_readonly(db, "main") == 1) {
        error = "the database can only be read (a read-only folder or file)";
        state.db.Close();
        return false;
    }
    const LayoutOutcome layout = PrepareSqliteLayout(db, error);
    if (layout != LayoutOutcome::Ready) {
        if (layout == LayoutOutcome::Refused) error = "the database has a layout this service cannot use: " + error;
        state.db.Close();
        return false;
    }
    if (!SqliteExec(db,
                    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0;"
                    " PRAGMA journal_size_limit=67108864; PRAGMA cache_size=-32768;",
                    error)) {
        state.db.Close();
        return false;
    }
    for (ReportKind kind : AllKinds) {
        auto statement = std::make_unique<SqliteStatement>(db, InsertSql(kind));
        if (!statement->Ok()) {
            error = sqlite3_errmsg(db);
            state.inserts.clear();
            state.db.Close();
            return false;
        }
        state.inserts[kind] = std::move(statement);
    }
    state.statements = std::make_unique<StatementCache>(db);
    if (!LoadFleetMemory(db, state.memory)) {
        error = sqlite3_errmsg(db);
        state.statements.reset();
        state.inserts.clear();
        state.db.Close();
        return false;
    }
    return true;
}

CommitResult Rollback(WriterState& state, int code, std::string& error) {
    error = sqlite3_errmsg(state.db.Get());
    sqlite3_exec(state.db.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
    LoadFleetMemory(state.db.Get(), state.memory);  // what the batch changed in it did not happen
    return IsBusy(code) ? CommitResult::Busy : CommitResult::Failed;
}

CommitResult Commit(WriterState& state, const std::vector<const PendingRow*>& rows, std::vector<long long>& ids,
                    std::string& error) {
    sqlite3* db = state.db.Get();
    ids.clear();
    state.memory.stoppedInBatch.clear();
    int code = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return Rollback(state, code, error);
    for (const PendingRow* row : rows) {
        long long id = 0;
        if (row->isReport) {
            sqlite3_stmt* statement = state.inserts[row->kind]->Get();
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            BindRow(statement, *row);
            code = sqlite3_step(statement);
            sqlite3_reset(statement);
            if (code != SQLITE_DONE) return Rollback(state, code, error);
            id = sqlite3_last_insert_rowid(db);
        }
        bool applied = false;
        code = WriteFleetFacts(*state.statements, state.memory, *row, applied);
        if (code != SQLITE_OK) return Rollback(state, code, error);
        ids.push_back(row->isReport ? id : (applied ? 1 : 0));
    }
    code = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return Rollback(state, code, error);
    if (state.settings.onRolloutStopped) {
        for (long long id : state.memory.stoppedInBatch) state.settings.onRolloutStopped(id);
    }
    state.memory.stoppedInBatch.clear();
    return CommitResult::Committed;
}

// Deletes up to `limit` of the oldest rows of a table, only those received
// before `cutoff` when it is given; the number deleted, -1 on failure.
int DeleteOldest(sqlite3* db, ReportKind kind, size_t limit, const std::string& cutoff) {
    const std::string table = TableOf(kind);
    std::string sql = "DELETE FROM " + table + " WHERE id IN (SELECT id FROM " + table + " ORDER BY id LIMIT ?)";
    if (!cutoff.empty()) sql += " AND received_at < ?";
    SqliteStatement statement(db, sql);
    if (!statement.Ok()) return -1;
    sqlite3_bind_int64(statement.Get(), 1, static_cast<sqlite3_int64>(limit));
    if (!cutoff.empty()) sqlite3_bind_text(statement.Get(), 2, cutoff.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(statement.Get()) != SQLITE_DONE) return -1;
    return sqlite3_changes(db);
}

// The table whose first row is the oldest; false when all are empty.
bool TableWithOldestRow(sqlite3* db, ReportKind& oldest) {
    std::string oldestTime;
    bool found = false;
    for (ReportKind kind : AllKinds) {
        SqliteStatement statement(db, std::string("SELECT received_at FROM ") + TableOf(kind) + " ORDER BY id LIMIT 1");
        if (!statement.Ok() || sqlite3_step(statement.Get()) != SQLITE_ROW) continue;
        const std::string time = reinterpret_cast<const char*>(sqlite3_column_text(statement.Get(), 0));
        if (!found || time < oldestTime) oldest = kind, oldestTime = time, found = true;
    }
    return found;
}

// One step: rows past their retention first, then the oldest rows while
// the store is over its size. True while more is to do.
bool Maintain(WriterState& state) {
    sqlite3* db = state.db.Get();
    if (db == nullptr) return false;
    const size_t step = state.settings.rowsPerMaintenanceStep;
    const std::string cutoff = UtcDaysAgoText(state.settings.retentionDays);
    for (ReportKind kind : AllKinds) {
        if (DeleteOldest(db, kind, step, cutoff) > 0) return true;
    }
    // Rollouts whose stage has earned it move on (checked once a second at most).
    const int64_t now = std::time(nullptr);
    if (now != state.advancedAt) {
        state.advancedAt = now;
        std::string ignored;
        if (SqliteExec(db, "BEGIN IMMEDIATE", ignored)) {
            state.memory.stoppedInBatch.clear();
            const bool advanced = AdvanceRollouts(*state.statements, state.memory, now) == SQLITE_OK;
            const bool committed = SqliteExec(db, advanced ? "COMMIT" : "ROLLBACK", ignored) && advanced;
            if (committed && state.settings.onRolloutStopped) {
                for (long long id : state.memory.stoppedInBatch) state.settings.onRolloutStopped(id);
            }
            state.memory.stoppedInBatch.clear();
        }
    }
    const uint64_t used = SqliteUsedBytes(db);
    if (used > state.settings.maxBytes) state.trimming = true;
    if (state.trimming && used <= state.settings.maxBytes / 10 * 9) state.trimming = false;
    ReportKind oldest = ReportKind::CheckIn;
    if (!state.trimming || !TableWithOldestRow(db, oldest)) {
        state.trimming = false;
        return false;
    }
    return DeleteOldest(db, oldest, step, "") > 0;
}

}  // namespace

bool OpenSqliteStore(const std::string& path, SqliteConnection& db, std::string& error, int& exitCode) {
    exitCode = 1;
    if (!db.Open(path, true, 5000, error)) return false;
    const LayoutOutcome outcome = PrepareSqliteLayout(db.Get(), error);
    if (outcome != LayoutOutcome::Ready) {
        if (outcome == LayoutOutcome::Refused) exitCode = 2;
        return false;
    }
    return SqliteExec(db.Get(), "PRAGMA journal_mode=WAL", error);
}

StoreBackend SqliteBackend(const SqliteStoreSettings& settings) {
    auto state = std::make_shared<WriterState>();
    state->settings = settings;
    StoreBackend backend;
    backend.connect = [state](std::string& error) { return Connect(*state, error); };
    backend.disconnect = [state] {
        state->inserts.clear();
        state->db.Close();
    };
    backend.commit = [state](const std::vector<const PendingRow*>& rows, std::vector<long long>& ids,
                             std::string& error) { return Commit(*state, rows, ids, error); };
    backend.maintain = [state] { return Maintain(*state); };
    return backend;
}

void SqliteCheckpointer::Start(int everyMs) {
    thread_ = std::thread([this, everyMs] {
        SqliteConnection db;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(everyMs), [this] { return stopping_; })) {
            lock.unlock();
            std::string error;
            if (db.IsOpen() || db.Open(path_, false, 0, error)) {
                int logFrames = 0, done = 0;
                if (sqlite3_wal_checkpoint_v2(db.Get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &done) !=
                    SQLITE_OK) {
                    db.Close();  // open again at the next tick
                }
            }
            lock.lock();
        }
    });
}

void SqliteCheckpointer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

std::vector<StoredRow> LastRows(sqlite3* db, ReportKind kind, int count, std::string& error) {
    std::vector<StoredRow> rows;
    SqliteStatement statement(db, std::string("SELECT * FROM ") + TableOf(kind) + " ORDER BY id DESC LIMIT ?");
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return rows;
    }
    sqlite3_bind_int(statement.Get(), 1, count);
    while (sqlite3_step(statement.Get()) == SQLITE_ROW) {
        StoredRow row;
        for (int i = 0; i < sqlite3_column_count(statement.Get()); ++i) {
            const auto* text = static_cast<const char*>(sqlite3_column_blob(statement.Get(), i));
            const int size = sqlite3_column_bytes(statement.Get(), i);
            if (text == nullptr && sqlite3_column_type(statement.Get(), i) != SQLITE_NULL) {
                text = reinterpret_cast<const char*>(sqlite3_column_text(statement.Get(), i));
            }
            row.values[sqlite3_column_name(statement.Get(), i)] = text != nullptr ? std::string(text, size) : "";
        }
        rows.push_back(row);
    }
    return rows;
}

uint64_t SqliteUsedBytes(sqlite3* db) {
    const long long pages = SqliteNumber(db, "PRAGMA page_count", 0);
    const long long free = SqliteNumber(db, "PRAGMA freelist_count", 0);
    const long long size = SqliteNumber(db, "PRAGMA page_size", 4096);
    return pages > free ? static_cast<uint64_t>(pages - free) * static_cast<uint64_t>(size) : 0;
}
