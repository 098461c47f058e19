#include "storage/store.h"

#include <chrono>
#include <ctime>
#include <memory>

#include "storage/fleet_store.h"
#include "storage/layout.h"
#include "storage/postgres_database.h"
#include "storage/sqlite_database.h"
#include "storage/stored_time.h"

namespace {

constexpr ReportKind AllKinds[] = {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance};

uint64_t RowBytes(const Database& db, bool counted);

// The report columns, then installation_id, rollout_id (update reports)
// and whether the installation has no history.
std::string InsertSql(ReportKind kind) {
    std::string names = "received_at, client_address, raw_body, without_history";
    std::string marks = "?1, ?2, ?3, ?4";
    int next = 5;
    for (const ReportColumn& column : ColumnsOf(kind)) {
        names += std::string(", \"") + column.member + "\"";
        marks += ", ?" + std::to_string(next++);
    }
    const std::string installation = "?" + std::to_string(next++);
    names += ", installation_id", marks += ", " + installation;
    // A check-in's installation was just written: its row reads the days
    // it was seen on in the same statement (cheaper than returning them).
    if (kind == ReportKind::CheckIn) {
        marks.replace(marks.find("?4"), 2,
                      "CASE WHEN ?4 = 1 THEN 1 ELSE COALESCE((SELECT CASE WHEN days_seen < 2 THEN 1 ELSE 0 END"
                      " FROM installations WHERE id = " + installation + "), 1) END");
    }
    if (kind == ReportKind::Update) names += ", rollout_id", marks += ", ?" + std::to_string(next++);
    std::string sql = std::string("INSERT INTO ") + TableOf(kind) + " (" + names + ") VALUES (" + marks + ")";
    // A report sent again returns no id: it is stored already.
    if (kind == ReportKind::Update) sql += " ON CONFLICT (report_id) WHERE report_id IS NOT NULL DO NOTHING";
    return sql + " RETURNING id";
}

// The installation a report names: a check-in's, an offer token's, an
// accepted document's token's; null when none.
const std::string* InstallationOf(const PendingRow& row) {
    if (row.checkIn) return &row.checkIn->installationId;
    if (row.link) return &row.link->installationId;
    return row.acceptedBy.empty() ? nullptr : &row.acceptedBy;
}

std::vector<SqlValue> ValuesOf(const PendingRow& row, bool withoutHistory) {
    std::vector<SqlValue> values = {Text(row.receivedAt), Text(row.clientAddress), Blob(row.rawBody),
                                    Int(withoutHistory ? 1 : 0)};
    const std::vector<ReportColumn>& columns = ColumnsOf(row.kind);
    for (size_t i = 0; i < columns.size(); ++i) {
        const ColumnValue* value = i < row.report.columns.size() ? &row.report.columns[i] : nullptr;
        const bool unnamedReport = std::string(columns[i].member) == "report_id" && value != nullptr && value->text.empty();
        if (value == nullptr || !value->present || unnamedReport) {
            values.push_back(Null());
        } else if (columns[i].integer) {
            values.push_back(Int(value->number));
        } else {
            values.push_back(Text(value->text));
        }
    }
    const std::string* installation = InstallationOf(row);
    values.push_back(installation != nullptr ? Text(*installation) : Null());
    if (row.kind == ReportKind::Update) {
        // Unlinked: no token, or one that does not verify.
        values.push_back(row.link ? Int(row.link->rolloutId) : Null());
    }
    return values;
}

// The writer's connection and what it keeps between batches.
struct WriterState {
    StoreSettings settings;
    Database db;
    std::map<ReportKind, std::string> inserts;
    FleetMemory memory;
    bool trimming = false;  // over the size limit: removing down to 90 % of it
    int64_t advancedAt = 0;
    int64_t memoryLoadedAt = 0;
    int64_t installationsExpiredAt = 0;
};

// Opens the writer's connection, creating the store or bringing it to the
// current layout when it has to (a store that was unreachable when the
// service started is set up on the first connection that works).
bool Connect(WriterState& state, std::string& error) {
    int exitCode = 0;
    if (!OpenStore(state.settings.target, state.db, error, exitCode)) {
        if (exitCode == 2) error = "the database has a layout this service cannot use: " + error;
        return false;
    }
    const Database& db = state.db;
    if (db.dialect == Dialect::Sqlite) {
        const SqlResult mode = db.Run("PRAGMA query_only");
        if (mode.Ok() && mode.Number(0) != 0) {
            error = "the database can only be read (a read-only folder or file)";
            db.close();
            return false;
        }
        const SqlResult tuned = RunScript(db, "PRAGMA synchronous=NORMAL;\n PRAGMA wal_autocheckpoint=0;\n"
                                              " PRAGMA journal_size_limit=67108864;\n PRAGMA cache_size=-32768;\n"
                                              " PRAGMA busy_timeout=" + std::to_string(state.settings.busyMs) + ";\n");
        // A read-only file shows when it is first written; a missing write lock too.
        const SqlResult probe = Begin(db);
        if (!tuned.Ok() || !probe.Ok()) {
            error = !tuned.Ok() ? tuned.error : probe.error;
            db.close();
            return false;
        }
        Rollback(db);
    }
    if (db.dialect == Dialect::Postgres) {
        // Another instance's batch holds a rollout's row for milliseconds;
        // after a second this batch gives up and is tried again.
        const SqlResult wait = db.Run("SET lock_timeout = 1000");
        if (!wait.Ok()) {
            error = wait.error;
            db.close();
            return false;
        }
    }
    for (ReportKind kind : AllKinds) state.inserts[kind] = InsertSql(kind);
    if (!LoadFleetMemory(db, state.memory)) {
        error = "cannot read what awaits confirmation";
        db.close();
        return false;
    }
    return true;
}

// The id of the update report stored before with the same report_id.
long long StoredReportId(const Database& db, const PendingRow& row) {
    const ColumnValue* reportId = nullptr;
    const std::vector<ReportColumn>& columns = ColumnsOf(row.kind);
    for (size_t i = 0; i < columns.size() && i < row.report.columns.size(); ++i) {
        if (std::string(columns[i].member) == "report_id") reportId = &row.report.columns[i];
    }
    if (reportId == nullptr) return 0;
    return db.Run("SELECT id FROM update_reports WHERE report_id = ?1", {Text(reportId->text)}).Number(0);
}

CommitResult Failure(WriterState& state, const SqlResult& result, std::string& error) {
    error = result.error;
    Rollback(state.db);
    LoadFleetMemory(state.db, state.memory);  // what the batch changed in it did not happen
    return result.status == SqlStatus::Busy ? CommitResult::Busy : CommitResult::Failed;
}

// What a row needs before it is written: a check-in's installation, and
// whether a report's installation has no history (none, or not seen on two
// distinct days): such rows are marked, and trimming takes them first.
SqlResult BeforeItsRow(WriterState& state, const PendingRow& row, bool& withoutHistory) {
    withoutHistory = true;
    if (row.checkIn) return WriteCheckIn(state.db, state.memory, state.settings.fleet, row, withoutHistory);
    if (!row.isReport || InstallationOf(row) == nullptr) return SqlResult();
    bool withHistory = false;
    SqlResult result = HasHistory(state.db, *InstallationOf(row), withHistory);
    withoutHistory = !withHistory;
    return result;
}

CommitResult Commit(WriterState& state, const std::vector<const PendingRow*>& rows, std::vector<long long>& ids,
                    std::string& error) {
    const Database& db = state.db;
    ids.clear();
    state.memory.stoppedInBatch.clear();
    SqlResult result = Begin(db);
    if (result.Ok()) result = LockFleetWrites(db);
    if (!result.Ok()) return Failure(state, result, error);
    for (const PendingRow* row : rows) {
        bool withoutHistory = true;
        result = BeforeItsRow(state, *row, withoutHistory);
        if (!result.Ok()) return Failure(state, result, error);
        long long id = 0;
        if (row->isReport) {
            result = db.RunText(state.inserts[row->kind], ValuesOf(*row, withoutHistory));
            if (!result.Ok()) return Failure(state, result, error);
            if (result.rows.empty()) {
                // Stored before (this instance or another): answered as stored,
                // and not counted again.
                ids.push_back(StoredReportId(db, *row));
                continue;
            }
            id = result.rows[0].Int(0);
        }
        bool applied = false;
        result = WriteFleetFacts(db, state.memory, *row, applied);
        if (!result.Ok()) return Failure(state, result, error);
        ids.push_back(row->isReport ? id : (applied ? 1 : 0));
    }
    result = Commit(db);
    if (!result.Ok()) return Failure(state, result, error);
    if (state.settings.onRolloutStopped) {
        for (long long id : state.memory.stoppedInBatch) state.settings.onRolloutStopped(id);
    }
    state.memory.stoppedInBatch.clear();
    return CommitResult::Committed;
}

// Rows a rollout that still decides (running, paused, finished) counts are
// never trimmed: its linked reports, and its installations.
constexpr char DecidingRollouts[] = "SELECT id FROM rollouts WHERE status <> 'DETENIDO'";
constexpr char CountedInstallations[] =
    "SELECT ri.installation_id FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id"
    " WHERE r.status <> 'DETENIDO'";

// What a trimming step may take from a report table: rows over installations
// without history (made up, most of them), or any row a rollout does not count.
enum class Trim { WithoutHistory, Any };

std::string TrimFilter(ReportKind kind, Trim trim) {
    if (trim == Trim::WithoutHistory) return "without_history = 1";
    if (kind != ReportKind::Update) return "1 = 1";
    return std::string("(rollout_id IS NULL OR rollout_id NOT IN (") + DecidingRollouts + "))";
}

// Deletes up to `limit` of the oldest rows of a table that `where` allows
// (with `parameters` after the limit); the number deleted, -1 on failure.
long long DeleteOldest(const Database& db, ReportKind kind, size_t limit, const std::string& where,
                       std::vector<SqlValue> parameters = {}) {
    const std::string table = TableOf(kind);
    parameters.insert(parameters.begin(), Int(static_cast<long long>(limit)));
    const SqlResult result = db.RunText(
        "DELETE FROM " + table + " WHERE id IN (SELECT id FROM " + table + " WHERE " + where + " ORDER BY id LIMIT ?1)",
        parameters);
    return result.Ok() ? result.changes : -1;
}

// Deletes up to `limit` rows received before `cutoff`: among the oldest by
// id (ids grow with time), so that a table with none that old is not read
// through at every step.
long long DeleteExpired(const Database& db, ReportKind kind, size_t limit, const std::string& cutoff) {
    const std::string table = TableOf(kind);
    const SqlResult result = db.RunText("DELETE FROM " + table + " WHERE id IN (SELECT id FROM " + table +
                                            " ORDER BY id LIMIT ?1) AND received_at < ?2",
                                        {Int(static_cast<long long>(limit)), Text(cutoff)});
    return result.Ok() ? result.changes : -1;
}

// The table whose oldest row a trimming step may take is the oldest; false
// when none has one.
bool TableWithOldestRow(const Database& db, Trim trim, ReportKind& oldest) {
    std::string oldestTime;
    bool found = false;
    for (ReportKind kind : AllKinds) {
        const SqlResult result = db.RunText(std::string("SELECT received_at FROM ") + TableOf(kind) + " WHERE " +
                                            TrimFilter(kind, trim) + " ORDER BY id LIMIT 1");
        if (!result.Ok() || result.rows.empty()) continue;
        const std::string time = result.rows[0].Text(0);
        if (!found || time < oldestTime) oldest = kind, oldestTime = time, found = true;
    }
    return found;
}

// Deletes up to `limit` installations that `where` allows and no deciding
// rollout counts, those seen longest ago first.
long long DeleteInstallations(const Database& db, size_t limit, const std::string& where,
                              const std::vector<SqlValue>& parameters = {}) {
    std::vector<SqlValue> values = {Int(static_cast<long long>(limit))};
    values.insert(values.end(), parameters.begin(), parameters.end());
    const SqlResult result =
        db.RunText(std::string("DELETE FROM installations WHERE id IN (SELECT id FROM installations WHERE ") + where +
                       " AND id NOT IN (" + CountedInstallations + ") ORDER BY last_seen_unix LIMIT ?1)",
                   values);
    return result.Ok() ? result.changes : -1;
}

// One trimming step, the least worth keeping first: rows over installations
// without history, then such installations, then the oldest rows, then the
// installations seen longest ago. True when it took something.
bool TrimStep(const Database& db, size_t step) {
    ReportKind oldest = ReportKind::CheckIn;
    if (TableWithOldestRow(db, Trim::WithoutHistory, oldest)) {
        return DeleteOldest(db, oldest, step, TrimFilter(oldest, Trim::WithoutHistory)) > 0;
    }
    if (DeleteInstallations(db, step, "days_seen < 2") > 0) return true;
    if (TableWithOldestRow(db, Trim::Any, oldest))
        return DeleteOldest(db, oldest, step, TrimFilter(oldest, Trim::Any)) > 0;
    return DeleteInstallations(db, step, "1 = 1") > 0;
}

// Rollouts halt or move on by themselves (checked once a second at most; by
// one instance at a time where several share the store).
void AdvanceIfDue(WriterState& state) {
    const int64_t now = std::time(nullptr);
    if (now == state.advancedAt) return;
    state.advancedAt = now;
    const Database& db = state.db;
    if (!Begin(db).Ok()) return;
    state.memory.stoppedInBatch.clear();
    const bool done = TryHousekeepingLock(db) && LockFleetWrites(db).Ok() &&
                      AdvanceRollouts(db, state.memory, now).Ok();
    const bool committed = done && Commit(db).Ok();
    if (!committed) Rollback(db);
    if (committed && state.settings.onRolloutStopped) {
        for (long long id : state.memory.stoppedInBatch) state.settings.onRolloutStopped(id);
    }
    state.memory.stoppedInBatch.clear();
    // Another instance may have taken reports: what awaits confirmation is read again now and then.
    if (db.dialect == Dialect::Postgres && now - state.memoryLoadedAt >= 5) {
        LoadFleetMemory(db, state.memory);
        state.memoryLoadedAt = now;
    }
}

// One step: rows past their retention first (installations not seen for
// as long, checked once a minute), then while the store is over its size,
// what TrimStep takes. True while more is to do.
bool MaintenanceStep(WriterState& state) {
    constexpr int64_t InstallationsEverySeconds = 60;
    const Database& db = state.db;
    const size_t step = state.settings.rowsPerMaintenanceStep;
    const std::string cutoff = UtcText(std::time(nullptr) - int64_t{state.settings.retentionDays} * 86400);
    for (ReportKind kind : AllKinds) {
        if (DeleteExpired(db, kind, step, cutoff) > 0) return true;
    }
    const int64_t now = std::time(nullptr);
    if (now - state.installationsExpiredAt >= InstallationsEverySeconds) {
        const int64_t seenBefore = now - static_cast<int64_t>(state.settings.retentionDays) * 86400;
        if (DeleteInstallations(db, step, "last_seen_unix < ?2", {Int(seenBefore)}) > 0) return true;
        state.installationsExpiredAt = now;
    }
    uint64_t used = RowBytes(db, state.trimming);
    if (used > state.settings.maxBytes && !state.trimming) used = RowBytes(db, true);
    if (used > state.settings.maxBytes) state.trimming = true;
    if (state.trimming && used <= state.settings.maxBytes / 10 * 9) state.trimming = false;
    if (state.trimming && TrimStep(db, step)) return true;
    state.trimming = false;
    return false;
}

// Each step is a transaction of its own, taken by one instance at a time
// where several share the store.
bool Maintain(WriterState& state) {
    const Database& db = state.db;
    if (!db.IsOpen()) return false;
    AdvanceIfDue(state);
    if (!Begin(db).Ok()) return false;
    if (!TryHousekeepingLock(db)) {
        Rollback(db);
        return false;
    }
    const bool more = MaintenanceStep(state);
    if (!Commit(db).Ok()) {
        Rollback(db);
        return false;
    }
    return more;
}

// PostgreSQL keeps the space of deleted rows until its vacuum reuses it, so
// its files do not shrink as rows go: the rows' size is estimated instead,
// from how many there are and the size of the newest. A report table's
// count is bounded from above by its span of ids (ids only grow); trimming
// takes rows from the middle too (those without history), so while the
// bound is over the limit the rows are counted.
uint64_t PostgresRowBytes(const Database& db, bool counted) {
    constexpr long long RowOverheadBytes = 64;  // tuple header, line pointer, index entries
    uint64_t total = 0;
    std::vector<std::pair<std::string, std::string>> tables;  // name, what gives its rows
    for (ReportKind kind : AllKinds) {
        const std::string table = TableOf(kind);
        tables.emplace_back(table,
                            counted ? "SELECT COUNT(*) FROM " + table : "SELECT MAX(id) - MIN(id) + 1 FROM " + table);
    }
    tables.emplace_back("installations", "SELECT COUNT(*) FROM installations");
    for (const auto& [table, rowsSql] : tables) {
        const std::string order = table == "installations" ? "" : " ORDER BY id DESC";
        std::string sql = "SELECT COALESCE((";
        sql += rowsSql;
        sql += "), 0), COALESCE((SELECT AVG(pg_column_size(r.*)) FROM (SELECT * FROM ";
        sql += table;
        sql += order;
        sql += " LIMIT 200) r), 0)";
        const SqlResult result = db.RunText(sql);
        if (!result.Ok() || result.rows.empty()) continue;
        const long long rows = result.rows[0].Int(0);
        const long long average = static_cast<long long>(result.rows[0].Real(1)) + RowOverheadBytes;
        if (rows > 0) total += static_cast<uint64_t>(rows) * static_cast<uint64_t>(average);
    }
    return total;
}

// The size the rows take; on PostgreSQL an upper bound unless `counted`.
uint64_t RowBytes(const Database& db, bool counted) {
    if (db.dialect == Dialect::Postgres) return PostgresRowBytes(db, counted);
    const long long pages = db.Run("PRAGMA page_count").Number(0);
    const long long free = db.Run("PRAGMA freelist_count").Number(0);
    const long long size = db.Run("PRAGMA page_size").Number(4096);
    return pages > free ? static_cast<uint64_t>(pages - free) * static_cast<uint64_t>(size) : 0;
}

}  // namespace

bool OpenDatabase(const std::string& target, bool create, int busyMs, Database& db, std::string& error) {
    if (IsPostgresTarget(target)) return OpenPostgresDatabase(target, db, error);
    return OpenSqliteDatabase(target, create, busyMs, db, error);
}

bool OpenStore(const std::string& target, Database& db, std::string& error, int& exitCode) {
    exitCode = 1;
    if (!OpenDatabase(target, true, 5000, db, error)) return false;
    const LayoutOutcome outcome = PrepareLayout(db, error);
    if (outcome != LayoutOutcome::Ready) {
        if (outcome == LayoutOutcome::Refused) exitCode = 2;
        db.close();
        return false;
    }
    if (db.dialect == Dialect::Sqlite) {
        const SqlResult wal = db.Run("PRAGMA journal_mode=WAL");
        if (!wal.Ok()) {
            error = wal.error;
            db.close();
            return false;
        }
    }
    return true;
}

StoreBackend MakeStoreBackend(const StoreSettings& settings) {
    auto state = std::make_shared<WriterState>();
    state->settings = settings;
    StoreBackend backend;
    backend.connect = [state](std::string& error) { return Connect(*state, error); };
    backend.disconnect = [state] {
        if (state->db.IsOpen()) state->db.close();
        state->db = Database();
    };
    backend.commit = [state](const std::vector<const PendingRow*>& rows, std::vector<long long>& ids,
                             std::string& error) { return Commit(*state, rows, ids, error); };
    backend.maintain = [state] { return Maintain(*state); };
    return backend;
}

void Checkpointer::Start(int everyMs) {
    if (IsPostgresTarget(target_)) return;
    thread_ = std::thread([this, everyMs] {
        Database db;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(everyMs), [this] { return stopping_; })) {
            lock.unlock();
            std::string error;
            if (db.IsOpen() || OpenSqliteDatabase(target_, false, 0, db, error)) {
                if (!db.Run("PRAGMA wal_checkpoint(PASSIVE)").Ok()) {
                    db.close();  // open again at the next tick
                    db = Database();
                }
            }
            lock.lock();
        }
    });
}

void Checkpointer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

std::vector<StoredRow> LastRows(const Database& db, ReportKind kind, int count, std::string& error) {
    std::vector<StoredRow> rows;
    const SqlResult result =
        db.RunText(std::string("SELECT * FROM ") + TableOf(kind) + " ORDER BY id DESC LIMIT ?1", {Int(count)});
    if (!result.Ok()) {
        error = result.error;
        return rows;
    }
    for (const SqlRow& row : result.rows) {
        StoredRow stored;
        for (size_t i = 0; i < result.columns.size(); ++i) stored.values[result.columns[i]] = row.Text(i);
        rows.push_back(stored);
    }
    return rows;
}

uint64_t UsedBytes(const Database& db) {
    return RowBytes(db, true);
}

bool ReadStoredSecret(const std::string& target, std::string& secret) {
    Database db;
    std::string error;
    if (!OpenDatabase(target, false, 1000, db, error)) return false;
    const SqlResult result = db.Run("SELECT value FROM service_secret WHERE name = 'ofertas'");
    if (!result.Ok() || result.rows.empty()) return false;
    secret = result.rows[0].Text(0);
    return true;
}

bool SharedSecret(const Database& db, const std::string& proposed, std::string& secret, std::string& error) {
    SqlResult result =
        db.Run("INSERT INTO service_secret (name, value) VALUES ('ofertas', ?1) ON CONFLICT (name) DO NOTHING",
               {Text(proposed)});
    if (result.Ok()) result = db.Run("SELECT value FROM service_secret WHERE name = 'ofertas'");
    if (!result.Ok() || result.rows.empty()) {
        error = result.Ok() ? "no secret in the store" : result.error;
        return false;
    }
    secret = result.rows[0].Text(0);
    return true;
}
