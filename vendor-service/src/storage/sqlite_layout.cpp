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

// Layout 1 to 2: the fleet and its rollouts.
constexpr char Layout2[] = R"sql(
ALTER TABLE checkins ADD COLUMN installation_id TEXT;
ALTER TABLE update_reports ADD COLUMN installation_id TEXT;
ALTER TABLE update_reports ADD COLUMN rollout_id INTEGER;
CREATE INDEX checkins_by_installation ON checkins (installation_id, id);
CREATE INDEX update_reports_by_installation ON update_reports (installation_id, id);
CREATE INDEX update_reports_by_rollout ON update_reports (rollout_id, id);
CREATE TABLE installations (
  id TEXT PRIMARY KEY, product TEXT NOT NULL, hostname TEXT, installed_path TEXT, client_address TEXT NOT NULL,
  program_version TEXT, agent_version TEXT, windows_version TEXT,
  first_seen TEXT NOT NULL, last_seen TEXT NOT NULL, last_seen_unix INTEGER NOT NULL,
  checkins INTEGER NOT NULL DEFAULT 0);
CREATE TABLE releases (
  id INTEGER PRIMARY KEY AUTOINCREMENT, product TEXT NOT NULL, version TEXT NOT NULL, url TEXT NOT NULL,
  served_path TEXT NOT NULL DEFAULT '', size INTEGER NOT NULL, sha256 TEXT NOT NULL, created_at TEXT NOT NULL,
  UNIQUE (product, version));
CREATE TABLE rollouts (
  id INTEGER PRIMARY KEY AUTOINCREMENT, release_id INTEGER NOT NULL REFERENCES releases (id),
  status TEXT NOT NULL, target_versions TEXT NOT NULL DEFAULT '', target_from TEXT NOT NULL DEFAULT '',
  target_to TEXT NOT NULL DEFAULT '', pilot_hosts TEXT NOT NULL DEFAULT '', stages TEXT NOT NULL,
  current_stage INTEGER NOT NULL DEFAULT 0, stage_started_unix INTEGER NOT NULL,
  min_outcomes INTEGER NOT NULL, max_failures INTEGER NOT NULL, max_failure_rate REAL NOT NULL,
  soak_seconds INTEGER NOT NULL, auto_advance INTEGER NOT NULL, retry_pause_seconds INTEGER NOT NULL,
  max_attempts INTEGER NOT NULL, halt_reason TEXT NOT NULL DEFAULT '', created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL);
CREATE TABLE rollout_installations (
  rollout_id INTEGER NOT NULL, installation_id TEXT NOT NULL, stage INTEGER NOT NULL, place REAL NOT NULL,
  first_offered_at TEXT NOT NULL, last_offered_at TEXT NOT NULL, offers INTEGER NOT NULL DEFAULT 0,
  download_started_at TEXT, download_completed_at TEXT,
  outcomes INTEGER NOT NULL DEFAULT 0, failures INTEGER NOT NULL DEFAULT 0, last_result TEXT, last_step TEXT,
  last_code INTEGER, last_outcome_at TEXT, last_outcome_unix INTEGER NOT NULL DEFAULT 0,
  ok_at TEXT, ok_ms INTEGER NOT NULL DEFAULT 0, confirmed_at TEXT, unconfirmed_at TEXT,
  PRIMARY KEY (rollout_id, installation_id));
CREATE TABLE rollout_stage_counts (
  rollout_id INTEGER NOT NULL, stage INTEGER NOT NULL, outcomes INTEGER NOT NULL DEFAULT 0,
  failures INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (rollout_id, stage));
CREATE TABLE rollout_events (
  id INTEGER PRIMARY KEY AUTOINCREMENT, rollout_id INTEGER NOT NULL, at TEXT NOT NULL, event TEXT NOT NULL,
  detail TEXT NOT NULL DEFAULT '');
CREATE TABLE operators (
  name TEXT PRIMARY KEY, salt TEXT NOT NULL, hash TEXT NOT NULL, iterations INTEGER NOT NULL,
  created_at TEXT NOT NULL);
CREATE TABLE sessions (
  token_hash TEXT PRIMARY KEY, operator TEXT NOT NULL, csrf TEXT NOT NULL, expires_unix INTEGER NOT NULL);
)sql";

LayoutOutcome UpgradeStep(sqlite3* db, long long from, std::string& error) {
    if (from == 0) return UpgradeFrom0(db, error);
    return SqliteExec(db, Layout2, error) ? LayoutOutcome::Ready : LayoutOutcome::Failed;
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
    }
    // Each step brings the layout one version on, all in this one transaction.
    for (long long step = version; outcome == LayoutOutcome::Ready && step < CurrentSqliteLayout; ++step) {
        outcome = UpgradeStep(db, step, error);
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
