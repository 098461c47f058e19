#include "storage/sqlite_fleet.h"

#include <cstdio>
#include <ctime>

#include "rollouts/rollout_rules.h"

namespace {

constexpr char UpsertInstallation[] =
    "INSERT INTO installations (id, product, hostname, installed_path, client_address, program_version,"
    " agent_version, windows_version, first_seen, last_seen, last_seen_unix, checkins)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?9, ?10, 1)"
    " ON CONFLICT (id) DO UPDATE SET hostname = excluded.hostname, installed_path = excluded.installed_path,"
    " client_address = excluded.client_address, program_version = excluded.program_version,"
    " agent_version = excluded.agent_version, windows_version = excluded.windows_version,"
    " last_seen = excluded.last_seen, last_seen_unix = excluded.last_seen_unix, checkins = checkins + 1";

// The first offer makes the installation's row in the rollout; later ones
// write nothing (an installation offered again is no news for the funnel,
// and a check-in that writes no page is a cheap one).
constexpr char RecordOffer[] =
    "INSERT INTO rollout_installations (rollout_id, installation_id, stage, place, first_offered_at,"
    " last_offered_at, offers) VALUES (?1, ?2, ?3, ?4, ?5, ?5, 1)"
    " ON CONFLICT (rollout_id, installation_id) DO NOTHING";

// After an OK, the next check-in tells whether the new version is there.
constexpr char Confirm[] =
    "UPDATE rollout_installations SET confirmed_at = ?1 WHERE installation_id = ?2 AND ok_ms > 0"
    " AND ok_ms < ?3 AND confirmed_at IS NULL AND unconfirmed_at IS NULL AND rollout_id IN"
    " (SELECT r.id FROM rollouts r JOIN releases l ON l.id = r.release_id WHERE l.version = ?4)";
constexpr char Unconfirm[] =
    "UPDATE rollout_installations SET unconfirmed_at = ?1 WHERE installation_id = ?2 AND ok_ms > 0"
    " AND ok_ms < ?3 AND confirmed_at IS NULL AND unconfirmed_at IS NULL AND rollout_id IN"
    " (SELECT r.id FROM rollouts r JOIN releases l ON l.id = r.release_id WHERE l.version <> ?4)";

constexpr char RolloutExists[] = "SELECT current_stage FROM rollouts WHERE id = ?1";

constexpr char RecordOutcome[] =
    "INSERT INTO rollout_installations (rollout_id, installation_id, stage, place, first_offered_at,"
    " last_offered_at, offers, outcomes, failures, last_result, last_step, last_code, last_outcome_at,"
    " last_outcome_unix, ok_at, ok_ms) VALUES (?1, ?2, ?3, -1, ?4, ?4, 0, 1, ?5, ?6, ?7, ?8, ?4, ?9,"
    " CASE WHEN ?10 THEN ?4 END, CASE WHEN ?10 THEN ?11 ELSE 0 END)"
    " ON CONFLICT (rollout_id, installation_id) DO UPDATE SET outcomes = outcomes + 1,"
    " failures = failures + excluded.failures, last_result = excluded.last_result,"
    " last_step = excluded.last_step, last_code = excluded.last_code,"
    " last_outcome_at = excluded.last_outcome_at, last_outcome_unix = excluded.last_outcome_unix,"
    " ok_at = CASE WHEN excluded.ok_ms > 0 THEN excluded.ok_at ELSE ok_at END,"
    " ok_ms = CASE WHEN excluded.ok_ms > 0 THEN excluded.ok_ms ELSE ok_ms END,"
    " confirmed_at = CASE WHEN excluded.ok_ms > 0 THEN NULL ELSE confirmed_at END,"
    " unconfirmed_at = CASE WHEN excluded.ok_ms > 0 THEN NULL ELSE unconfirmed_at END";

constexpr char RecordDownload[] =
    "UPDATE rollout_installations SET download_started_at = COALESCE(download_started_at, ?3),"
    " download_completed_at = CASE WHEN ?4 THEN COALESCE(download_completed_at, ?3) ELSE download_completed_at END"
    " WHERE rollout_id = ?1 AND installation_id = ?2";

// A stage's outcomes are counted as they come, so a halt decision reads one row.
constexpr char CountStage[] = "SELECT outcomes, failures FROM rollout_stage_counts WHERE rollout_id = ?1 AND stage = ?2";
constexpr char AddToStage[] =
    "INSERT INTO rollout_stage_counts (rollout_id, stage, outcomes, failures) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT (rollout_id, stage) DO UPDATE SET outcomes = outcomes + excluded.outcomes,"
    " failures = failures + excluded.failures";
constexpr char InstallationSoFar[] =
    "SELECT stage, outcomes, failures FROM rollout_installations WHERE rollout_id = ?1 AND installation_id = ?2";

constexpr char SetStatus[] =
    "UPDATE rollouts SET status = ?2, halt_reason = ?3, updated_at = ?4 WHERE id = ?1 AND status = ?5";
constexpr char SetStage[] =
    "UPDATE rollouts SET current_stage = ?2, stage_started_unix = ?3, status = ?4, updated_at = ?5"
    " WHERE id = ?1 AND current_stage = ?6";
constexpr char AddEvent[] = "INSERT INTO rollout_events (rollout_id, at, event, detail) VALUES (?1, ?2, ?3, ?4)";

constexpr char SelectRollouts[] =
    "SELECT r.id, r.status, r.target_versions, r.target_from, r.target_to, r.pilot_hosts, r.stages,"
    " r.current_stage, r.stage_started_unix, r.min_outcomes, r.max_failures, r.max_failure_rate, r.soak_seconds,"
    " r.auto_advance, r.retry_pause_seconds, r.max_attempts, r.halt_reason, r.created_at,"
    " l.id, l.product, l.version, l.url, l.served_path, l.size, l.sha256, l.created_at"
    " FROM rollouts r JOIN releases l ON l.id = r.release_id";

constexpr char OfferingRollouts[] = "SELECT id FROM rollouts WHERE status IN ('EN_CURSO', 'TERMINADO')";

constexpr char SelectReleases[] =
    "SELECT id, product, version, url, served_path, size, sha256, created_at FROM releases";

std::string UtcText(int64_t unix) {
    const std::time_t time = static_cast<std::time_t>(unix);
    std::tm utc = {};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string JoinList(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ",") + part;
    return text;
}

std::string Text(sqlite3_stmt* statement, int column) {
    return ColumnText(statement, column);
}

void ReadRelease(sqlite3_stmt* statement, int first, Release& release) {
    release.id = sqlite3_column_int64(statement, first);
    release.product = Text(statement, first + 1);
    release.version = Text(statement, first + 2);
    release.url = Text(statement, first + 3);
    release.servedPath = Text(statement, first + 4);
    release.size = static_cast<uint64_t>(sqlite3_column_int64(statement, first + 5));
    release.sha256 = Text(statement, first + 6);
    release.createdAt = Text(statement, first + 7);
}

void ReadRollout(sqlite3_stmt* statement, Rollout& rollout) {
    rollout.id = sqlite3_column_int64(statement, 0);
    rollout.status = Text(statement, 1);
    rollout.targeting.versions = SplitList(Text(statement, 2));
    rollout.targeting.from = Text(statement, 3);
    rollout.targeting.to = Text(statement, 4);
    RolloutSettings& settings = rollout.settings;
    settings.pilotHosts = SplitList(Text(statement, 5));
    std::vector<double> percents;
    ParsePercents(Text(statement, 6), percents);
    settings.stages = StagesOf(percents, !settings.pilotHosts.empty());
    rollout.currentStage = sqlite3_column_int(statement, 7);
    rollout.stageStartedAt = sqlite3_column_int64(statement, 8);
    settings.minOutcomes = sqlite3_column_int(statement, 9);
    settings.maxFailures = sqlite3_column_int(statement, 10);
    settings.maxFailureRate = sqlite3_column_double(statement, 11);
    settings.soakSeconds = sqlite3_column_int(statement, 12);
    settings.autoAdvance = sqlite3_column_int(statement, 13) != 0;
    settings.retryPauseSeconds = sqlite3_column_int(statement, 14);
    settings.maxAttempts = sqlite3_column_int(statement, 15);
    rollout.haltReason = Text(statement, 16);
    rollout.createdAt = Text(statement, 17);
    ReadRelease(statement, 18, rollout.release);
}

bool QueryRollouts(sqlite3* db, const std::string& where, long long id, std::vector<Rollout>& rollouts,
                   std::string& error) {
    SqliteStatement statement(db, std::string(SelectRollouts) + where + " ORDER BY r.id DESC");
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return false;
    }
    if (id != 0) sqlite3_bind_int64(statement.Get(), 1, id);
    int code = 0;
    while ((code = sqlite3_step(statement.Get())) == SQLITE_ROW) {
        Rollout rollout;
        ReadRollout(statement.Get(), rollout);
        rollouts.push_back(rollout);
    }
    if (code != SQLITE_DONE) error = sqlite3_errmsg(db);
    return code == SQLITE_DONE;
}

int Event(StatementCache& statements, long long rolloutId, int64_t now, const std::string& event,
          const std::string& detail) {
    sqlite3_stmt* add = statements.Get(AddEvent);
    if (add == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(add, 1, rolloutId);
    BindText(add, 2, UtcText(now));
    BindText(add, 3, event);
    BindText(add, 4, detail);
    return StepDone(add) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
}

// Moves a status on when it is `from`; `changed` tells whether it was.
int ChangeStatus(StatementCache& statements, long long id, const std::string& from, const std::string& to,
                 const std::string& reason, int64_t now, bool& changed) {
    sqlite3_stmt* set = statements.Get(SetStatus);
    if (set == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(set, 1, id);
    BindText(set, 2, to);
    BindText(set, 3, reason);
    BindText(set, 4, UtcText(now));
    BindText(set, 5, from);
    const int code = StepDone(set);
    if (code != SQLITE_DONE) return code;
    changed = sqlite3_changes(statements.Db()) > 0;
    return SQLITE_OK;
}

// The next stage, or finished after the last one.
int Advance(StatementCache& statements, const Rollout& rollout, int64_t now, const std::string& by, bool& changed) {
    const int last = static_cast<int>(rollout.settings.stages.size()) - 1;
    const bool finishing = rollout.currentStage >= last;
    sqlite3_stmt* set = statements.Get(SetStage);
    if (set == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(set, 1, rollout.id);
    sqlite3_bind_int(set, 2, finishing ? last : rollout.currentStage + 1);
    sqlite3_bind_int64(set, 3, now);
    BindText(set, 4, finishing ? rollout_status::Finished : rollout.status);
    BindText(set, 5, UtcText(now));
    sqlite3_bind_int(set, 6, rollout.currentStage);
    const int code = StepDone(set);
    if (code != SQLITE_DONE) return code;
    changed = sqlite3_changes(statements.Db()) > 0;
    if (!changed) return SQLITE_OK;
    const std::string detail =
        finishing ? "todas las etapas cumplidas"
                  : "a la etapa " + StageName(rollout.settings.stages[static_cast<size_t>(rollout.currentStage) + 1]);
    return Event(statements, rollout.id, now, finishing ? "terminado" : "avanzado", detail + " (" + by + ")");
}

bool LoadRolloutWith(const StatementCache& statements, long long id, Rollout& rollout) {
    std::vector<Rollout> found;
    std::string error;
    if (!QueryRollouts(statements.Db(), " WHERE r.id = ?1", id, found, error) ||
        found.empty()) {
        return false;
    }
    rollout = found[0];
    return true;
}

// Halts a rollout that offers (running or finished) when its current
// stage's failures pass its threshold.
int HaltIfFailing(StatementCache& statements, FleetMemory& memory, const Rollout& rollout, int64_t now) {
    if (rollout.status != rollout_status::Running && rollout.status != rollout_status::Finished) return SQLITE_OK;
    const Verdict verdict =
        HaltVerdict(rollout.settings, LoadStageCounts(statements.Db(), rollout.id, rollout.currentStage));
    if (!verdict.halt) return SQLITE_OK;
    bool changed = false;
    const int code =
        ChangeStatus(statements, rollout.id, rollout.status, rollout_status::Halted, verdict.reason, now, changed);
    if (code != SQLITE_OK || !changed) return code;
    memory.stoppedInBatch.push_back(rollout.id);
    return Event(statements, rollout.id, now, "detenido", verdict.reason);
}

int WriteCheckIn(StatementCache& statements, FleetMemory& memory, const PendingRow& row) {
    const CheckInFacts& facts = *row.checkIn;
    sqlite3_stmt* upsert = statements.Get(UpsertInstallation);
    if (upsert == nullptr) return SQLITE_ERROR;
    BindText(upsert, 1, facts.installationId);
    BindText(upsert, 2, facts.product);
    BindTextOrNull(upsert, 3, facts.hostname);
    BindTextOrNull(upsert, 4, facts.installedPath);
    BindText(upsert, 5, row.clientAddress);
    BindTextOrNull(upsert, 6, facts.programVersion);
    BindTextOrNull(upsert, 7, facts.agentVersion);
    BindTextOrNull(upsert, 8, facts.windowsVersion);
    BindText(upsert, 9, row.receivedAt);
    sqlite3_bind_int64(upsert, 10, row.receivedUnix);
    int code = StepDone(upsert);
    if (code != SQLITE_DONE) return code;
    if (facts.offeredRollout != 0) {
        sqlite3_stmt* offer = statements.Get(RecordOffer);
        if (offer == nullptr) return SQLITE_ERROR;
        sqlite3_bind_int64(offer, 1, facts.offeredRollout);
        BindText(offer, 2, facts.installationId);
        sqlite3_bind_int(offer, 3, facts.offeredStage);
        sqlite3_bind_double(offer, 4, facts.place);
        BindText(offer, 5, row.receivedAt);
        if ((code = StepDone(offer)) != SQLITE_DONE) return code;
    }
    if (facts.programVersion.empty() || memory.awaitingConfirmation.count(facts.installationId) == 0) return SQLITE_OK;
    int marked = 0;
    for (const char* sql : {Confirm, Unconfirm}) {
        sqlite3_stmt* mark = statements.Get(sql);
        if (mark == nullptr) return SQLITE_ERROR;
        BindText(mark, 1, row.receivedAt);
        BindText(mark, 2, facts.installationId);
        sqlite3_bind_int64(mark, 3, row.receivedMs);
        BindText(mark, 4, facts.programVersion);
        if ((code = StepDone(mark)) != SQLITE_DONE) return code;
        marked += sqlite3_changes(statements.Db());
    }
    if (marked > 0) memory.awaitingConfirmation.erase(facts.installationId);
    return SQLITE_OK;
}

const ColumnValue& Member(const PendingRow& row, const char* name) {
    static const ColumnValue none;
    const auto& columns = ColumnsOf(row.kind);
    for (size_t i = 0; i < columns.size() && i < row.report.columns.size(); ++i) {
        if (std::string(columns[i].member) == name) return row.report.columns[i];
    }
    return none;
}

// The report counts in its installation's way through the rollout, and a
// failure may halt the rollout's current stage.
int WriteOutcome(StatementCache& statements, FleetMemory& memory, const PendingRow& row) {
    const ReportLink& link = *row.link;
    sqlite3_stmt* exists = statements.Get(RolloutExists);
    if (exists == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(exists, 1, link.rolloutId);
    if (sqlite3_step(exists) != SQLITE_ROW) {
        sqlite3_reset(exists);
        return SQLITE_OK;  // signed for a rollout this store does not have: nothing to count
    }
    int stage = sqlite3_column_int(exists, 0);
    sqlite3_reset(exists);
    const bool ok = Member(row, "resultado").text == "OK";
    // Its first report, or its first failure, counts in the stage it was offered in.
    sqlite3_stmt* before = statements.Get(InstallationSoFar);
    if (before == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(before, 1, link.rolloutId);
    BindText(before, 2, link.installationId);
    int outcomesBefore = 0, failuresBefore = 0;
    if (sqlite3_step(before) == SQLITE_ROW) {
        stage = sqlite3_column_int(before, 0);
        outcomesBefore = sqlite3_column_int(before, 1);
        failuresBefore = sqlite3_column_int(before, 2);
    }
    sqlite3_reset(before);
    sqlite3_stmt* record = statements.Get(RecordOutcome);
    if (record == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(record, 1, link.rolloutId);
    BindText(record, 2, link.installationId);
    sqlite3_bind_int(record, 3, stage);
    BindText(record, 4, row.receivedAt);
    sqlite3_bind_int(record, 5, ok ? 0 : 1);
    BindText(record, 6, Member(row, "resultado").text);
    BindText(record, 7, Member(row, "paso_fallido").text);
    sqlite3_bind_int64(record, 8, Member(row, "codigo_error").number);
    sqlite3_bind_int64(record, 9, row.receivedUnix);
    sqlite3_bind_int(record, 10, ok ? 1 : 0);
    sqlite3_bind_int64(record, 11, row.receivedMs);
    int code = StepDone(record);
    if (code != SQLITE_DONE) return code;
    if (ok) memory.awaitingConfirmation.insert(link.installationId);
    const int newOutcome = outcomesBefore == 0 ? 1 : 0;
    const int newFailure = !ok && failuresBefore == 0 ? 1 : 0;
    if (newOutcome + newFailure > 0) {
        sqlite3_stmt* add = statements.Get(AddToStage);
        if (add == nullptr) return SQLITE_ERROR;
        sqlite3_bind_int64(add, 1, link.rolloutId);
        sqlite3_bind_int(add, 2, stage);
        sqlite3_bind_int(add, 3, newOutcome);
        sqlite3_bind_int(add, 4, newFailure);
        if ((code = StepDone(add)) != SQLITE_DONE) return code;
    }
    // Any outcome may tip the stage: a failure, or the outcome that makes
    // the minimum for a failure rate already too high.
    Rollout rollout;
    if (!LoadRolloutWith(statements, link.rolloutId, rollout)) return SQLITE_ERROR;
    return HaltIfFailing(statements, memory, rollout, row.receivedUnix);
}

int WriteDownload(StatementCache& statements, const PendingRow& row) {
    sqlite3_stmt* record = statements.Get(RecordDownload);
    if (record == nullptr) return SQLITE_ERROR;
    sqlite3_bind_int64(record, 1, row.download->rolloutId);
    BindText(record, 2, row.download->installationId);
    BindText(record, 3, row.receivedAt);
    sqlite3_bind_int(record, 4, row.download->completed ? 1 : 0);
    const int code = StepDone(record);
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int WriteCommand(StatementCache& statements, FleetMemory* memory, const RolloutCommand& command, int64_t now,
                 bool& applied) {
    Rollout rollout;
    applied = false;
    if (!LoadRolloutWith(statements, command.rolloutId, rollout)) return SQLITE_OK;
    const std::string by = "operador " + command.operatorName;
    std::string from, to, reason, event;
    if (command.action == "pausar") {
        from = rollout_status::Running, to = rollout_status::Paused, event = "pausado";
    } else if (command.action == "reanudar") {
        from = rollout_status::Paused, to = rollout_status::Running, event = "reanudado";
    } else if (command.action == "detener") {
        from = rollout.status, to = rollout_status::Halted, event = "detenido", reason = "detenido por el " + by;
        if (from == rollout_status::Halted) return SQLITE_OK;
    } else if (command.action == "avanzar") {
        if (rollout.status != rollout_status::Running && rollout.status != rollout_status::Paused) return SQLITE_OK;
        return Advance(statements, rollout, now, by, applied);
    } else {
        return SQLITE_OK;
    }
    int code = ChangeStatus(statements, rollout.id, from, to, reason, now, applied);
    if (code != SQLITE_OK || !applied) return code;
    if (memory != nullptr && to != rollout_status::Running) memory->stoppedInBatch.push_back(rollout.id);
    return Event(statements, rollout.id, now, event, reason.empty() ? by : reason);
}

}  // namespace

std::string PercentsText(const std::vector<Stage>& stages) {
    std::string text;
    for (const Stage& stage : stages) {
        if (stage.pilot) continue;
        char number[32];
        std::snprintf(number, sizeof number, "%g", stage.percent);
        text += (text.empty() ? "" : ",") + std::string(number);
    }
    return text;
}

bool LoadFleetMemory(sqlite3* db, FleetMemory& memory) {
    memory.awaitingConfirmation.clear();
    SqliteStatement statement(db,
                              "SELECT installation_id FROM rollout_installations WHERE ok_ms > 0"
                              " AND confirmed_at IS NULL AND unconfirmed_at IS NULL");
    if (!statement.Ok()) return false;
    while (sqlite3_step(statement.Get()) == SQLITE_ROW) memory.awaitingConfirmation.insert(ColumnText(statement.Get(), 0));
    return true;
}

int WriteFleetFacts(StatementCache& statements, FleetMemory& memory, const PendingRow& row, bool& applied) {
    applied = false;
    if (row.checkIn) return WriteCheckIn(statements, memory, row);
    if (row.link) return WriteOutcome(statements, memory, row);
    if (row.download) return WriteDownload(statements, row);
    if (row.command) return WriteCommand(statements, &memory, *row.command, row.receivedUnix, applied);
    return SQLITE_OK;
}

int AdvanceRollouts(StatementCache& statements, FleetMemory& memory, int64_t now) {
    sqlite3_stmt* running = statements.Get(OfferingRollouts);
    if (running == nullptr) return SQLITE_ERROR;
    std::vector<long long> ids;
    while (sqlite3_step(running) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(running, 0));
    sqlite3_reset(running);
    sqlite3* db = statements.Db();
    for (long long id : ids) {
        Rollout rollout;
        if (!LoadRolloutWith(statements, id, rollout)) continue;
        int code = HaltIfFailing(statements, memory, rollout, now);
        if (code != SQLITE_OK) return code;
        if (rollout.status != rollout_status::Running ||
            !MayAdvance(rollout.settings, LoadStageCounts(db, id, rollout.currentStage), rollout.stageStartedAt,
                        now)) {
            continue;
        }
        bool changed = false;
        code = Advance(statements, rollout, now, "por si solo", changed);
        if (code != SQLITE_OK) return code;
    }
    return SQLITE_OK;
}

bool LoadOfferingRollouts(sqlite3* db, std::vector<Rollout>& rollouts, std::string& error) {
    return QueryRollouts(db, " WHERE r.status IN ('EN_CURSO', 'TERMINADO')", 0, rollouts, error);
}

bool LoadRollouts(sqlite3* db, std::vector<Rollout>& rollouts, std::string& error) {
    return QueryRollouts(db, "", 0, rollouts, error);
}

bool LoadRollout(sqlite3* db, long long id, Rollout& rollout, std::string& error) {
    std::vector<Rollout> found;
    if (!QueryRollouts(db, " WHERE r.id = ?1", id, found, error)) return false;
    if (found.empty()) {
        error = "no existe el despliegue " + std::to_string(id);
        return false;
    }
    rollout = found[0];
    return true;
}

bool LoadInstallationInRollout(sqlite3* db, long long rolloutId, const std::string& installationId,
                               InstallationInRollout& record) {
    SqliteStatement statement(db,
                              "SELECT offers, outcomes, failures, last_outcome_unix FROM rollout_installations"
                              " WHERE rollout_id = ?1 AND installation_id = ?2");
    if (!statement.Ok()) return false;
    sqlite3_bind_int64(statement.Get(), 1, rolloutId);
    BindText(statement.Get(), 2, installationId);
    const int code = sqlite3_step(statement.Get());
    record = InstallationInRollout();
    if (code == SQLITE_ROW) {
        record.known = true;
        record.offers = sqlite3_column_int(statement.Get(), 0);
        record.outcomes = sqlite3_column_int(statement.Get(), 1);
        record.failures = sqlite3_column_int(statement.Get(), 2);
        record.lastOutcomeAt = sqlite3_column_int64(statement.Get(), 3);
    }
    return code == SQLITE_ROW || code == SQLITE_DONE;
}

bool LoadOfferingState(sqlite3* db, std::vector<Rollout>& rollouts, ReportedInstallations& reported,
                       std::string& error) {
    if (!LoadOfferingRollouts(db, rollouts, error)) return false;
    SqliteStatement statement(db,
                              "SELECT installation_id, offers, outcomes, failures, last_outcome_unix"
                              " FROM rollout_installations WHERE rollout_id = ?1 AND outcomes > 0");
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return false;
    }
    for (const Rollout& rollout : rollouts) {
        auto& records = reported[rollout.id];
        sqlite3_reset(statement.Get());
        sqlite3_bind_int64(statement.Get(), 1, rollout.id);
        while (sqlite3_step(statement.Get()) == SQLITE_ROW) {
            InstallationInRollout& record = records[ColumnText(statement.Get(), 0)];
            record.known = true;
            record.offers = sqlite3_column_int(statement.Get(), 1);
            record.outcomes = sqlite3_column_int(statement.Get(), 2);
            record.failures = sqlite3_column_int(statement.Get(), 3);
            record.lastOutcomeAt = sqlite3_column_int64(statement.Get(), 4);
        }
    }
    return true;
}

StageCounts LoadStageCounts(sqlite3* db, long long rolloutId, int stage) {
    StageCounts counts;
    SqliteStatement statement(db, CountStage);
    if (!statement.Ok()) return counts;
    sqlite3_bind_int64(statement.Get(), 1, rolloutId);
    sqlite3_bind_int(statement.Get(), 2, stage);
    if (sqlite3_step(statement.Get()) == SQLITE_ROW) {
        counts.outcomes = sqlite3_column_int(statement.Get(), 0);
        counts.failures = sqlite3_column_int(statement.Get(), 1);
    }
    return counts;
}

bool InsertRelease(sqlite3* db, Release& release, std::string& error) {
    SqliteStatement statement(db,
                              "INSERT INTO releases (product, version, url, served_path, size, sha256, created_at)"
                              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return false;
    }
    release.createdAt = UtcText(std::time(nullptr));
    BindText(statement.Get(), 1, release.product);
    BindText(statement.Get(), 2, release.version);
    BindText(statement.Get(), 3, release.url);
    BindText(statement.Get(), 4, release.servedPath);
    sqlite3_bind_int64(statement.Get(), 5, static_cast<sqlite3_int64>(release.size));
    BindText(statement.Get(), 6, release.sha256);
    BindText(statement.Get(), 7, release.createdAt);
    const int code = sqlite3_step(statement.Get());
    if (code != SQLITE_DONE) {
        error = (code & 0xff) == SQLITE_CONSTRAINT ? "ya hay una version " + release.version + " de " + release.product
                                                   : std::string(sqlite3_errmsg(db));
        return false;
    }
    release.id = sqlite3_last_insert_rowid(db);
    return true;
}

bool LoadReleases(sqlite3* db, std::vector<Release>& releases, std::string& error) {
    SqliteStatement statement(db, std::string(SelectReleases) + " ORDER BY id DESC");
    int code = SQLITE_ERROR;
    while (statement.Ok() && (code = sqlite3_step(statement.Get())) == SQLITE_ROW) {
        Release release;
        ReadRelease(statement.Get(), 0, release);
        releases.push_back(release);
    }
    if (code != SQLITE_DONE) error = sqlite3_errmsg(db);
    return code == SQLITE_DONE;
}

bool LoadRelease(sqlite3* db, long long id, Release& release, std::string& error) {
    SqliteStatement statement(db, std::string(SelectReleases) + " WHERE id = ?1");
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return false;
    }
    sqlite3_bind_int64(statement.Get(), 1, id);
    if (sqlite3_step(statement.Get()) != SQLITE_ROW) {
        error = "no existe la version " + std::to_string(id);
        return false;
    }
    ReadRelease(statement.Get(), 0, release);
    return true;
}

bool InsertRollout(sqlite3* db, Rollout& rollout, std::string& error) {
    std::string ignored;
    if (!SqliteExec(db, "BEGIN IMMEDIATE", error)) return false;
    SqliteStatement busy(db,
                         "SELECT r.id FROM rollouts r JOIN releases l ON l.id = r.release_id"
                         " WHERE l.product = ?1 AND r.status IN ('EN_CURSO', 'PAUSADO')");
    BindText(busy.Get(), 1, rollout.release.product);
    if (busy.Ok() && sqlite3_step(busy.Get()) == SQLITE_ROW) {
        error = "el producto " + rollout.release.product + " ya tiene en curso el despliegue " +
                std::to_string(sqlite3_column_int64(busy.Get(), 0)) + " (detengala antes)";
        SqliteExec(db, "ROLLBACK", ignored);
        return false;
    }
    const int64_t now = std::time(nullptr);
    rollout.createdAt = UtcText(now);
    rollout.stageStartedAt = now;
    SqliteStatement insert(db,
                           "INSERT INTO rollouts (release_id, status, target_versions, target_from, target_to,"
                           " pilot_hosts, stages, current_stage, stage_started_unix, min_outcomes, max_failures,"
                           " max_failure_rate, soak_seconds, auto_advance, retry_pause_seconds, max_attempts,"
                           " created_at, updated_at)"
                           " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 0, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?16)");
    if (!insert.Ok()) {
        error = sqlite3_errmsg(db);
        SqliteExec(db, "ROLLBACK", ignored);
        return false;
    }
    sqlite3_stmt* s = insert.Get();
    const RolloutSettings& settings = rollout.settings;
    sqlite3_bind_int64(s, 1, rollout.release.id);
    BindText(s, 2, rollout_status::Running);
    BindText(s, 3, JoinList(rollout.targeting.versions));
    BindText(s, 4, rollout.targeting.from);
    BindText(s, 5, rollout.targeting.to);
    BindText(s, 6, JoinList(settings.pilotHosts));
    BindText(s, 7, PercentsText(settings.stages));
    sqlite3_bind_int64(s, 8, now);
    sqlite3_bind_int(s, 9, settings.minOutcomes);
    sqlite3_bind_int(s, 10, settings.maxFailures);
    sqlite3_bind_double(s, 11, settings.maxFailureRate);
    sqlite3_bind_int(s, 12, settings.soakSeconds);
    sqlite3_bind_int(s, 13, settings.autoAdvance ? 1 : 0);
    sqlite3_bind_int(s, 14, settings.retryPauseSeconds);
    sqlite3_bind_int(s, 15, settings.maxAttempts);
    BindText(s, 16, rollout.createdAt);
    if (sqlite3_step(s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db);
        SqliteExec(db, "ROLLBACK", ignored);
        return false;
    }
    rollout.id = sqlite3_last_insert_rowid(db);
    StatementCache statements(db);
    if (Event(statements, rollout.id, now, "iniciado", "") != SQLITE_OK || !SqliteExec(db, "COMMIT", error)) {
        if (error.empty()) error = sqlite3_errmsg(db);
        SqliteExec(db, "ROLLBACK", ignored);
        return false;
    }
    return true;
}

bool ApplyRolloutCommand(sqlite3* db, const RolloutCommand& command, std::string& error) {
    std::string ignored;
    if (!SqliteExec(db, "BEGIN IMMEDIATE", error)) return false;
    StatementCache statements(db);
    bool applied = false;
    const int code = WriteCommand(statements, nullptr, command, std::time(nullptr), applied);
    if (code != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        SqliteExec(db, "ROLLBACK", ignored);
        return false;
    }
    if (!SqliteExec(db, "COMMIT", error)) {
        SqliteExec(db, "ROLLBACK", ignored);
        return false;
    }
    if (!applied) error = "el despliegue " + std::to_string(command.rolloutId) + " no admite \"" + command.action + "\" ahora";
    return applied;
}
