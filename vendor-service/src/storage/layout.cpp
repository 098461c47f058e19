#include "storage/layout.h"

#include <set>
#include <vector>

#include "agents/report_parsing.h"

namespace {

constexpr ReportKind AllKinds[] = {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance};

struct Types {
    const char* serial;  // an id the store numbers
    const char* integer;
    const char* real;
    const char* blob;
};

Types TypesOf(Dialect dialect) {
    if (dialect == Dialect::Postgres) return {"BIGSERIAL PRIMARY KEY", "BIGINT", "DOUBLE PRECISION", "BYTEA"};
    return {"INTEGER PRIMARY KEY AUTOINCREMENT", "INTEGER", "REAL", "BLOB"};
}

// "{serial}", "{int}", "{real}" and "{blob}" in a script, for the dialect.
std::string Typed(std::string script, Dialect dialect) {
    const Types types = TypesOf(dialect);
    const std::pair<const char*, const char*> names[] = {
        {"{serial}", types.serial}, {"{int}", types.integer}, {"{real}", types.real}, {"{blob}", types.blob}};
    for (const auto& [name, type] : names) {
        for (size_t at; (at = script.find(name)) != std::string::npos;) script.replace(at, std::string(name).size(), type);
    }
    return script;
}

std::string ReportTableSql(ReportKind kind, bool withFleetColumns) {
    std::string sql = std::string("CREATE TABLE ") + TableOf(kind) +
                      " (id {serial}, received_at TEXT NOT NULL, client_address TEXT NOT NULL, raw_body {blob} NOT NULL";
    for (const ReportColumn& column : ColumnsOf(kind)) {
        sql += std::string(", \"") + column.member + "\" " + (column.integer ? "{int}" : "TEXT");
    }
    if (withFleetColumns && kind != ReportKind::Acceptance) sql += ", installation_id TEXT";
    if (withFleetColumns && kind == ReportKind::Update) sql += ", rollout_id {int}";
    return sql + ");\n";
}

// What layout 2 adds to the report tables, on SQLite (PostgreSQL makes them with it).
constexpr char ReportColumns2[] = R"sql(
ALTER TABLE checkins ADD COLUMN installation_id TEXT;
ALTER TABLE update_reports ADD COLUMN installation_id TEXT;
ALTER TABLE update_reports ADD COLUMN rollout_id INTEGER;
)sql";

constexpr char Fleet2[] = R"sql(
CREATE INDEX checkins_by_installation ON checkins (installation_id, id);
CREATE INDEX update_reports_by_installation ON update_reports (installation_id, id);
CREATE INDEX update_reports_by_rollout ON update_reports (rollout_id, id);
CREATE TABLE installations (
  id TEXT PRIMARY KEY, product TEXT NOT NULL, hostname TEXT, installed_path TEXT, client_address TEXT NOT NULL,
  program_version TEXT, agent_version TEXT, windows_version TEXT,
  first_seen TEXT NOT NULL, last_seen TEXT NOT NULL, last_seen_unix {int} NOT NULL,
  checkins {int} NOT NULL DEFAULT 0);
CREATE TABLE releases (
  id {serial}, product TEXT NOT NULL, version TEXT NOT NULL, url TEXT NOT NULL,
  served_path TEXT NOT NULL DEFAULT '', size {int} NOT NULL, sha256 TEXT NOT NULL, created_at TEXT NOT NULL,
  UNIQUE (product, version));
CREATE TABLE rollouts (
  id {serial}, release_id {int} NOT NULL REFERENCES releases (id),
  status TEXT NOT NULL, target_versions TEXT NOT NULL DEFAULT '', target_from TEXT NOT NULL DEFAULT '',
  target_to TEXT NOT NULL DEFAULT '', pilot_hosts TEXT NOT NULL DEFAULT '', stages TEXT NOT NULL,
  current_stage {int} NOT NULL DEFAULT 0, stage_started_unix {int} NOT NULL,
  min_outcomes {int} NOT NULL, max_failures {int} NOT NULL, max_failure_rate {real} NOT NULL,
  soak_seconds {int} NOT NULL, auto_advance {int} NOT NULL, retry_pause_seconds {int} NOT NULL,
  max_attempts {int} NOT NULL, halt_reason TEXT NOT NULL DEFAULT '', created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL);
CREATE TABLE rollout_installations (
  rollout_id {int} NOT NULL, installation_id TEXT NOT NULL, stage {int} NOT NULL, place {real} NOT NULL,
  first_offered_at TEXT NOT NULL, last_offered_at TEXT NOT NULL, offers {int} NOT NULL DEFAULT 0,
  download_started_at TEXT, download_completed_at TEXT,
  outcomes {int} NOT NULL DEFAULT 0, failures {int} NOT NULL DEFAULT 0, last_result TEXT, last_step TEXT,
  last_code {int}, last_outcome_at TEXT, last_outcome_unix {int} NOT NULL DEFAULT 0,
  ok_at TEXT, ok_ms {int} NOT NULL DEFAULT 0, confirmed_at TEXT, unconfirmed_at TEXT,
  PRIMARY KEY (rollout_id, installation_id));
CREATE TABLE rollout_stage_counts (
  rollout_id {int} NOT NULL, stage {int} NOT NULL, outcomes {int} NOT NULL DEFAULT 0,
  failures {int} NOT NULL DEFAULT 0, PRIMARY KEY (rollout_id, stage));
CREATE TABLE rollout_events (
  id {serial}, rollout_id {int} NOT NULL, at TEXT NOT NULL, event TEXT NOT NULL, detail TEXT NOT NULL DEFAULT '');
CREATE TABLE operators (
  name TEXT PRIMARY KEY, salt TEXT NOT NULL, hash TEXT NOT NULL, iterations {int} NOT NULL,
  created_at TEXT NOT NULL);
CREATE TABLE sessions (
  token_hash TEXT PRIMARY KEY, operator TEXT NOT NULL, csrf TEXT NOT NULL, expires_unix {int} NOT NULL);
CREATE TABLE service_secret (name TEXT PRIMARY KEY, value TEXT NOT NULL);
)sql";

// An update report sent again (its answer lost on the way) is stored once.
constexpr char ReportOnce3[] = R"sql(
DELETE FROM update_reports WHERE report_id IS NOT NULL AND id NOT IN
  (SELECT MIN(id) FROM update_reports WHERE report_id IS NOT NULL GROUP BY report_id);
CREATE UNIQUE INDEX update_reports_once ON update_reports (report_id) WHERE report_id IS NOT NULL;
CREATE TABLE rate_usage (
  id {serial}, instance TEXT NOT NULL, at_unix {int} NOT NULL, address TEXT NOT NULL, admitted {int} NOT NULL);
CREATE INDEX rate_usage_by_time ON rate_usage (at_unix);
)sql";

// A release carries the vendor's signature of its package.
constexpr char Signature4[] = R"sql(
ALTER TABLE releases ADD COLUMN signature TEXT NOT NULL DEFAULT '';
)sql";

// Outcomes that count come from the vendor's fleet. What layout 5 adds:
// installations known since when, from which network, seen on how many
// days; a rollout's start and its rules of who counts; each outcome counted
// or not, and its network; a stage's counts per network (its totals weighed
// so that no network counts for more than a set number of installations).
// Outcomes stored before it were counted without networks: they are kept
// apart, as not counting, and the stages count again from the upgrade on.
// Report rows without history are indexed for trimming, but for the
// check-ins: the busiest table is not made slower for a trimming step,
// which reads them from the oldest.
constexpr char Fleet5[] = R"sql(
ALTER TABLE installations ADD COLUMN first_seen_ms {int} NOT NULL DEFAULT 0;
ALTER TABLE installations ADD COLUMN network TEXT NOT NULL DEFAULT '';
ALTER TABLE installations ADD COLUMN days_seen {int} NOT NULL DEFAULT 1;
ALTER TABLE installations ADD COLUMN last_seen_day {int} NOT NULL DEFAULT 0;
UPDATE installations SET first_seen_ms = {first_seen_ms}, last_seen_day = last_seen_unix / 86400;
UPDATE installations SET days_seen = 2 WHERE last_seen_unix * 1000 - first_seen_ms >= 86400000;
CREATE INDEX installations_new_by_network ON installations (network, first_seen_ms);
CREATE INDEX installations_by_host ON installations (product, lower(hostname));
ALTER TABLE rollouts ADD COLUMN started_ms {int} NOT NULL DEFAULT 0;
ALTER TABLE rollouts ADD COLUMN min_networks {int} NOT NULL DEFAULT 3;
ALTER TABLE rollouts ADD COLUMN network_weight {int} NOT NULL DEFAULT 5;
ALTER TABLE rollouts ADD COLUMN min_age_days {int} NOT NULL DEFAULT 0;
ALTER TABLE rollouts ADD COLUMN min_days_seen {int} NOT NULL DEFAULT 0;
UPDATE rollouts SET started_ms = {started_ms};
ALTER TABLE rollout_installations ADD COLUMN counted {int} NOT NULL DEFAULT 0;
ALTER TABLE rollout_installations ADD COLUMN network TEXT NOT NULL DEFAULT '';
ALTER TABLE rollout_installations ADD COLUMN last_outcome_ms {int} NOT NULL DEFAULT 0;
UPDATE rollout_installations SET last_outcome_ms = last_outcome_unix * 1000;
ALTER TABLE rollout_stage_counts ADD COLUMN weighted_outcomes {real} NOT NULL DEFAULT 0;
ALTER TABLE rollout_stage_counts ADD COLUMN weighted_failures {real} NOT NULL DEFAULT 0;
ALTER TABLE rollout_stage_counts ADD COLUMN networks {int} NOT NULL DEFAULT 0;
ALTER TABLE rollout_stage_counts ADD COLUMN failed_networks {int} NOT NULL DEFAULT 0;
ALTER TABLE rollout_stage_counts ADD COLUMN uncounted_outcomes {int} NOT NULL DEFAULT 0;
ALTER TABLE rollout_stage_counts ADD COLUMN uncounted_failures {int} NOT NULL DEFAULT 0;
UPDATE rollout_stage_counts SET uncounted_outcomes = outcomes, uncounted_failures = failures, outcomes = 0, failures = 0;
CREATE TABLE rollout_stage_networks (
  rollout_id {int} NOT NULL, stage {int} NOT NULL, network TEXT NOT NULL, outcomes {int} NOT NULL DEFAULT 0,
  failures {int} NOT NULL DEFAULT 0, PRIMARY KEY (rollout_id, stage, network));
ALTER TABLE checkins ADD COLUMN without_history {int} NOT NULL DEFAULT 0;
ALTER TABLE update_reports ADD COLUMN without_history {int} NOT NULL DEFAULT 0;
ALTER TABLE acceptance_reports ADD COLUMN without_history {int} NOT NULL DEFAULT 0;
ALTER TABLE acceptance_reports ADD COLUMN installation_id TEXT;
CREATE INDEX update_reports_without_history ON update_reports (id) WHERE without_history = 1;
CREATE INDEX acceptance_reports_without_history ON acceptance_reports (id) WHERE without_history = 1;
CREATE INDEX acceptance_reports_by_installation ON acceptance_reports (installation_id, id);
)sql";

// A release carries the vendor's statement of its package.
constexpr char Statement6[] = R"sql(
ALTER TABLE releases ADD COLUMN statement TEXT NOT NULL DEFAULT '';
ALTER TABLE releases ADD COLUMN statement_signature TEXT NOT NULL DEFAULT '';
)sql";

// An installation whose agent put the previous program back (the release's
// did not start) is never offered that release again.
constexpr char PutBack7[] = R"sql(
ALTER TABLE rollout_installations ADD COLUMN put_back {int} NOT NULL DEFAULT 0;
)sql";

// The console a release manager runs a release from. What layout 8 adds:
// operators' roles (those already there keep doing everything), the audit
// log, API tokens, webhooks with their queue of deliveries and every
// attempt, a rollout's outcomes per hour and its failures by step and code
// (counted as reports are written, and counted here from the reports
// already stored), the failures an operator acknowledged when resuming a
// halted stage, and the outcomes before a retry of failed installations.
constexpr char Console8[] = R"sql(
ALTER TABLE operators ADD COLUMN role TEXT NOT NULL DEFAULT 'administrador';
CREATE TABLE audit_log (
  id {serial}, at TEXT NOT NULL, actor TEXT NOT NULL, action TEXT NOT NULL, target TEXT NOT NULL DEFAULT '',
  detail TEXT NOT NULL DEFAULT '');
CREATE TABLE api_tokens (
  id {serial}, name TEXT NOT NULL, token_hash TEXT NOT NULL UNIQUE, scope TEXT NOT NULL, created_by TEXT NOT NULL,
  created_at TEXT NOT NULL, last_used_at TEXT, revoked_at TEXT);
CREATE TABLE webhooks (
  id {serial}, url TEXT NOT NULL, secret TEXT NOT NULL, events TEXT NOT NULL, active {int} NOT NULL DEFAULT 1,
  created_by TEXT NOT NULL, created_at TEXT NOT NULL);
CREATE TABLE webhook_deliveries (
  id {serial}, webhook_id {int} NOT NULL, event TEXT NOT NULL, rollout_id {int} NOT NULL DEFAULT 0,
  body TEXT NOT NULL, created_at TEXT NOT NULL, created_ms {int} NOT NULL, state TEXT NOT NULL,
  attempts {int} NOT NULL DEFAULT 0, next_attempt_ms {int} NOT NULL, lease_until_ms {int} NOT NULL DEFAULT 0,
  delivered_at TEXT, last_status {int} NOT NULL DEFAULT 0, last_error TEXT NOT NULL DEFAULT '');
CREATE INDEX webhook_deliveries_due ON webhook_deliveries (state, next_attempt_ms);
CREATE TABLE webhook_attempts (
  id {serial}, delivery_id {int} NOT NULL, at TEXT NOT NULL, status {int} NOT NULL, error TEXT NOT NULL DEFAULT '',
  ms {int} NOT NULL);
CREATE INDEX webhook_attempts_by_delivery ON webhook_attempts (delivery_id, id);
CREATE TABLE rollout_hours (
  rollout_id {int} NOT NULL, hour {int} NOT NULL, outcomes {int} NOT NULL DEFAULT 0,
  failures {int} NOT NULL DEFAULT 0, oks {int} NOT NULL DEFAULT 0, PRIMARY KEY (rollout_id, hour));
CREATE TABLE rollout_failure_groups (
  rollout_id {int} NOT NULL, step TEXT NOT NULL, code {int} NOT NULL, reports {int} NOT NULL DEFAULT 0,
  first_at TEXT NOT NULL, last_at TEXT NOT NULL, message TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (rollout_id, step, code));
INSERT INTO rollout_hours (rollout_id, hour, outcomes, failures, oks)
  SELECT rollout_id, {hour_of_received}, COUNT(*), COUNT(*) FILTER (WHERE COALESCE(resultado, '') <> 'OK'),
  COUNT(*) FILTER (WHERE resultado = 'OK') FROM update_reports WHERE rollout_id IS NOT NULL GROUP BY 1, 2;
INSERT INTO rollout_failure_groups (rollout_id, step, code, reports, first_at, last_at, message)
  SELECT rollout_id, COALESCE(paso_fallido, ''), COALESCE(codigo_error, 0), COUNT(*), MIN(received_at),
  MAX(received_at), COALESCE(MAX(mensaje_error), '') FROM update_reports
  WHERE rollout_id IS NOT NULL AND COALESCE(resultado, '') <> 'OK' GROUP BY 1, 2, 3;
ALTER TABLE rollout_stage_counts ADD COLUMN acknowledged_failures {real} NOT NULL DEFAULT 0;
ALTER TABLE rollout_installations ADD COLUMN retried_outcomes {int} NOT NULL DEFAULT 0;
)sql";

// Layout 5's script with the dialect's way of reading a stored UTC time.
std::string Fleet5Script(Dialect dialect) {
    std::string script = Typed(Fleet5, dialect);
    const auto millisecondsOf = [dialect](const std::string& column) {
        return dialect == Dialect::Postgres
                   ? "COALESCE((EXTRACT(EPOCH FROM CAST(" + column + " AS TIMESTAMPTZ)) * 1000)::BIGINT, 0)"
                   : "COALESCE(CAST(strftime('%s', " + column + ") AS INTEGER) * 1000, 0)";
    };
    const std::pair<std::string, std::string> names[] = {{"{first_seen_ms}", millisecondsOf("first_seen")},
                                                         {"{started_ms}", millisecondsOf("created_at")}};
    for (const auto& [name, value] : names) script.replace(script.find(name), name.size(), value);
    return script;
}

// Layout 8's script, with the dialect's hour of a stored UTC time.
std::string Console8Script(Dialect dialect) {
    std::string script = Typed(Console8, dialect);
    const std::string hour = dialect == Dialect::Postgres
                                 ? "CAST(EXTRACT(EPOCH FROM CAST(received_at AS TIMESTAMPTZ)) AS BIGINT) / 3600"
                                 : "CAST(strftime('%s', received_at) AS INTEGER) / 3600";
    const std::string name = "{hour_of_received}";
    script.replace(script.find(name), name.size(), hour);
    return script;
}

std::set<std::string> ColumnsOfTable(const Database& db, const std::string& table) {
    std::set<std::string> present;
    const SqlResult result = db.RunText("SELECT name FROM pragma_table_info('" + table + "')");
    for (const SqlRow& row : result.rows) present.insert(row.Text(0));
    return present;
}

// Every column a report table needs, fixed ones first.
std::vector<std::string> NeededColumns(ReportKind kind) {
    std::vector<std::string> names = {"id", "received_at", "client_address", "raw_body"};
    for (const ReportColumn& column : ColumnsOf(kind)) names.emplace_back(column.member);
    return names;
}

LayoutOutcome Outcome(const SqlResult& result, std::string& error) {
    if (result.Ok()) return LayoutOutcome::Ready;
    error = result.error;
    return LayoutOutcome::Failed;
}

// SQLite, layout 0 to 1: creates the tables, or takes the first layout's
// tables when they have every column, dropping the JSON copy of the members.
LayoutOutcome UpgradeFrom0(const Database& db, std::string& error) {
    for (ReportKind kind : AllKinds) {
        const std::set<std::string> present = ColumnsOfTable(db, TableOf(kind));
        if (present.empty()) {
            const SqlResult made = RunScript(db, Typed(ReportTableSql(kind, false), db.dialect));
            if (!made.Ok()) return Outcome(made, error);
            continue;
        }
        for (const std::string& name : NeededColumns(kind)) {
            if (present.count(name) == 0) {
                error = std::string("table ") + TableOf(kind) + " has no column \"" + name + "\"";
                return LayoutOutcome::Refused;
            }
        }
        if (present.count("members") != 0) {
            const SqlResult dropped = db.RunText(std::string("ALTER TABLE ") + TableOf(kind) + " DROP COLUMN members");
            if (!dropped.Ok()) return Outcome(dropped, error);
        }
    }
    return LayoutOutcome::Ready;
}

// One step from layout `from` to the next. PostgreSQL's layouts start at 2,
// made all at once.
LayoutOutcome Step(const Database& db, long long from, std::string& error) {
    if (db.dialect == Dialect::Postgres && from == 0) {
        std::string script;
        for (ReportKind kind : AllKinds) script += ReportTableSql(kind, true);
        return Outcome(RunScript(db, Typed(script + Fleet2, db.dialect)), error);
    }
    if (from == 0) return UpgradeFrom0(db, error);
    if (from == 1) return Outcome(RunScript(db, Typed(std::string(ReportColumns2) + Fleet2, db.dialect)), error);
    if (from == 2) return Outcome(RunScript(db, Typed(ReportOnce3, db.dialect)), error);
    if (from == 3) return Outcome(RunScript(db, Signature4), error);
    if (from == 4) return Outcome(RunScript(db, Fleet5Script(db.dialect)), error);
    if (from == 5) return Outcome(RunScript(db, Statement6), error);
    if (from == 6) return Outcome(RunScript(db, Typed(PutBack7, db.dialect)), error);
    return Outcome(RunScript(db, Console8Script(db.dialect)), error);
}

bool SetVersion(const Database& db, long long version, std::string& error) {
    const SqlResult result =
        db.dialect == Dialect::Sqlite
            ? db.RunText("PRAGMA user_version = " + std::to_string(version))
            : db.Run("UPDATE trevanto_layout SET version = ?1", {Int(version)});
    if (!result.Ok()) error = result.error;
    return result.Ok();
}

}  // namespace

SqlResult RunScript(const Database& db, const std::string& script) {
    size_t start = 0;
    while (start < script.size()) {
        size_t end = script.find(";\n", start);
        if (end == std::string::npos) end = script.size();
        std::string statement = script.substr(start, end - start);
        start = end + 2;
        if (statement.find_first_not_of(" \n\t") == std::string::npos) continue;
        SqlResult result = db.RunText(statement);
        if (!result.Ok()) return result;
    }
    return SqlResult();
}

long long LayoutVersion(const Database& db) {
    if (db.dialect == Dialect::Sqlite) {
        const SqlResult result = db.Run("PRAGMA user_version");
        return result.Ok() ? result.Number(-1) : -1;
    }
    const SqlResult result = db.Run("SELECT version FROM trevanto_layout");
    if (!result.Ok()) return -1;
    return result.rows.empty() ? 0 : result.Number(0);
}

LayoutOutcome PrepareLayout(const Database& db, std::string& error, long long target) {
    long long version = 0;
    if (db.dialect == Dialect::Sqlite) {
        version = LayoutVersion(db);
        if (version == target) return LayoutOutcome::Ready;
        if (version < 0) {
            error = "cannot read the layout's version";
            return LayoutOutcome::Failed;
        }
    }
    const SqlResult begun = Begin(db);
    if (!begun.Ok()) return Outcome(begun, error);
    if (db.dialect == Dialect::Postgres) {
        // Instances that start together take turns; the table and its one row are made once.
        const SqlResult made = RunScript(db,
                                         "SELECT pg_advisory_xact_lock(7426150);\n"
                                         "CREATE TABLE IF NOT EXISTS trevanto_layout (version BIGINT NOT NULL);\n"
                                         "INSERT INTO trevanto_layout (version) SELECT 0"
                                         " WHERE NOT EXISTS (SELECT 1 FROM trevanto_layout);\n");
        if (!made.Ok()) {
            Rollback(db);
            return Outcome(made, error);
        }
    }
    // Read again inside the transaction: another process may have upgraded it.
    version = LayoutVersion(db);
    if (version == target) {
        Rollback(db);
        return LayoutOutcome::Ready;
    }
    LayoutOutcome outcome = LayoutOutcome::Ready;
    if (version > CurrentLayout) {
        error = "layout " + std::to_string(version) + " is newer than this service's (" + std::to_string(CurrentLayout) +
                ")";
        outcome = LayoutOutcome::Refused;
    } else if (db.dialect == Dialect::Postgres && version == 1) {
        error = "layout 1 is not one this service can upgrade";
        outcome = LayoutOutcome::Refused;
    } else {
        // Each step brings the layout one version on, all in this one transaction.
        for (long long step = version; outcome == LayoutOutcome::Ready && step < target;) {
            outcome = Step(db, step, error);
            step = db.dialect == Dialect::Postgres && step == 0 ? 2 : step + 1;
        }
    }
    if (outcome == LayoutOutcome::Ready && !SetVersion(db, target, error)) {
        outcome = LayoutOutcome::Failed;
    }
    if (outcome != LayoutOutcome::Ready) {
        Rollback(db);
        return outcome;
    }
    const SqlResult committed = Commit(db);
    if (!committed.Ok()) {
        Rollback(db);
        return Outcome(committed, error);
    }
    return LayoutOutcome::Ready;
}
