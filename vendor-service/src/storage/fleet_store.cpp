#include "storage/fleet_store.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "http/network_prefix.h"
#include "rollouts/rollout_rules.h"
#include "storage/audit_store.h"
#include "storage/rollout_history.h"
#include "webhooks/webhook_queue.h"
#include "storage/stored_time.h"

namespace {

// A known installation's check-in: when it was last seen, as what, and on
// how many distinct days (its name and path keep their first spelling).
constexpr char TouchInstallation[] =
    "UPDATE installations SET client_address = ?2, program_version = ?3, agent_version = ?4, windows_version = ?5,"
    " last_seen = ?6, last_seen_unix = ?7, checkins = checkins + 1,"
    " days_seen = days_seen + CASE WHEN last_seen_day < ?8 THEN 1 ELSE 0 END, last_seen_day = ?8"
    " WHERE id = ?1";
// New installations a network brought since a time, counted up to a bound.
constexpr char NewInNetwork[] =
    "SELECT COUNT(*) FROM (SELECT 1 FROM installations WHERE network = ?1 AND first_seen_ms >= ?2 LIMIT ?3) n";
constexpr char AddInstallation[] =
    "INSERT INTO installations (id, product, hostname, installed_path, client_address, program_version,"
    " agent_version, windows_version, first_seen, last_seen, last_seen_unix, checkins, first_seen_ms, network,"
    " days_seen, last_seen_day) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?9, ?10, 1, ?11, ?12, 1, ?13)"
    " ON CONFLICT (id) DO NOTHING";
constexpr char InstallationStanding[] = "SELECT first_seen_ms, days_seen FROM installations WHERE id = ?1";

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

constexpr char RolloutStage[] = "SELECT current_stage FROM rollouts WHERE id = ?1";
constexpr char InstallationSoFar[] =
    "SELECT stage, outcomes, failures, counted, network FROM rollout_installations"
    " WHERE rollout_id = ?1 AND installation_id = ?2";

// Whether the installation counts, and its network, are set at its first report.
constexpr char RecordOutcome[] =
    "INSERT INTO rollout_installations (rollout_id, installation_id, stage, place, first_offered_at,"
    " last_offered_at, offers, outcomes, failures, last_result, last_step, last_code, last_outcome_at,"
    " last_outcome_unix, ok_at, ok_ms, counted, network, last_outcome_ms, put_back)"
    " VALUES (?1, ?2, ?3, -1, ?4, ?4, 0, 1, ?5, ?6, ?7, ?8, ?4, ?9, ?10, ?11, ?12, ?13, ?14, ?15)"
    " ON CONFLICT (rollout_id, installation_id) DO UPDATE SET"
    " put_back = CASE WHEN excluded.put_back > rollout_installations.put_back THEN excluded.put_back"
    " ELSE rollout_installations.put_back END,"
    " counted = CASE WHEN rollout_installations.outcomes = 0 THEN excluded.counted ELSE rollout_installations.counted "
    "END,"
    " network = CASE WHEN rollout_installations.outcomes = 0 THEN excluded.network ELSE rollout_installations.network "
    "END,"
    " outcomes = rollout_installations.outcomes + 1,"
    " failures = rollout_installations.failures + excluded.failures, last_result = excluded.last_result,"
    " last_step = excluded.last_step, last_code = excluded.last_code,"
    " last_outcome_at = excluded.last_outcome_at, last_outcome_unix = excluded.last_outcome_unix,"
    " last_outcome_ms = excluded.last_outcome_ms,"
    " ok_at = CASE WHEN excluded.ok_ms > 0 THEN excluded.ok_at ELSE rollout_installations.ok_at END,"
    " ok_ms = CASE WHEN excluded.ok_ms > 0 THEN excluded.ok_ms ELSE rollout_installations.ok_ms END,"
    " confirmed_at = CASE WHEN excluded.ok_ms > 0 THEN NULL ELSE rollout_installations.confirmed_at END,"
    " unconfirmed_at = CASE WHEN excluded.ok_ms > 0 THEN NULL ELSE rollout_installations.unconfirmed_at END";

// A stage's outcomes are counted as they come (its totals, and each
// network's), so a halt decision reads one row.
constexpr char CountStage[] =
    "SELECT outcomes, failures, weighted_outcomes, weighted_failures, networks, failed_networks, uncounted_outcomes,"
    " uncounted_failures FROM rollout_stage_counts WHERE rollout_id = ?1 AND stage = ?2";
constexpr char CountStages[] =
    "SELECT outcomes, failures, weighted_outcomes, weighted_failures, networks, failed_networks, uncounted_outcomes,"
    " uncounted_failures, stage FROM rollout_stage_counts WHERE rollout_id = ?1 ORDER BY stage";
constexpr char SetStageCounts[] =
    "INSERT INTO rollout_stage_counts (rollout_id, stage, outcomes, failures, weighted_outcomes, weighted_failures,"
    " networks, failed_networks, uncounted_outcomes, uncounted_failures) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
    "?10)"
    " ON CONFLICT (rollout_id, stage) DO UPDATE SET outcomes = excluded.outcomes, failures = excluded.failures,"
    " weighted_outcomes = excluded.weighted_outcomes, weighted_failures = excluded.weighted_failures,"
    " networks = excluded.networks, failed_networks = excluded.failed_networks,"
    " uncounted_outcomes = excluded.uncounted_outcomes, uncounted_failures = excluded.uncounted_failures";
constexpr char CountNetwork[] =
    "SELECT outcomes, failures FROM rollout_stage_networks WHERE rollout_id = ?1 AND stage = ?2 AND network = ?3";
constexpr char AddToNetwork[] =
    "INSERT INTO rollout_stage_networks (rollout_id, stage, network, outcomes, failures) VALUES (?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT (rollout_id, stage, network) DO UPDATE SET"
    " outcomes = rollout_stage_networks.outcomes + excluded.outcomes,"
    " failures = rollout_stage_networks.failures + excluded.failures";

constexpr char RecordDownloadBegun[] =
    "UPDATE rollout_installations SET download_started_at = COALESCE(download_started_at, ?3)"
    " WHERE rollout_id = ?1 AND installation_id = ?2";
constexpr char RecordDownloadWhole[] =
    "UPDATE rollout_installations SET download_started_at = COALESCE(download_started_at, ?3),"
    " download_completed_at = COALESCE(download_completed_at, ?3) WHERE rollout_id = ?1 AND installation_id = ?2";

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
    " l.id, l.product, l.version, l.url, l.served_path, l.size, l.sha256, l.created_at, l.signature, l.statement, l.statement_signature,"
    " r.started_ms, r.min_networks, r.network_weight, r.min_age_days, r.min_days_seen"
    " FROM rollouts r JOIN releases l ON l.id = r.release_id";
constexpr char SelectAllRollouts[] =
    "SELECT r.id, r.status, r.target_versions, r.target_from, r.target_to, r.pilot_hosts, r.stages,"
    " r.current_stage, r.stage_started_unix, r.min_outcomes, r.max_failures, r.max_failure_rate, r.soak_seconds,"
    " r.auto_advance, r.retry_pause_seconds, r.max_attempts, r.halt_reason, r.created_at,"
    " l.id, l.product, l.version, l.url, l.served_path, l.size, l.sha256, l.created_at, l.signature, l.statement, l.statement_signature,"
    " r.started_ms, r.min_networks, r.network_weight, r.min_age_days, r.min_days_seen"
    " FROM rollouts r JOIN releases l ON l.id = r.release_id ORDER BY r.id DESC";
constexpr char SelectOneRollout[] =
    "SELECT r.id, r.status, r.target_versions, r.target_from, r.target_to, r.pilot_hosts, r.stages,"
    " r.current_stage, r.stage_started_unix, r.min_outcomes, r.max_failures, r.max_failure_rate, r.soak_seconds,"
    " r.auto_advance, r.retry_pause_seconds, r.max_attempts, r.halt_reason, r.created_at,"
    " l.id, l.product, l.version, l.url, l.served_path, l.size, l.sha256, l.created_at, l.signature, l.statement, l.statement_signature,"
    " r.started_ms, r.min_networks, r.network_weight, r.min_age_days, r.min_days_seen"
    " FROM rollouts r JOIN releases l ON l.id = r.release_id WHERE r.id = ?1";
constexpr char SelectOfferingRollouts[] =
    "SELECT r.id, r.status, r.target_versions, r.target_from, r.target_to, r.pilot_hosts, r.stages,"
    " r.current_stage, r.stage_started_unix, r.min_outcomes, r.max_failures, r.max_failure_rate, r.soak_seconds,"
    " r.auto_advance, r.retry_pause_seconds, r.max_attempts, r.halt_reason, r.created_at,"
    " l.id, l.product, l.version, l.url, l.served_path, l.size, l.sha256, l.created_at, l.signature, l.statement, l.statement_signature,"
    " r.started_ms, r.min_networks, r.network_weight, r.min_age_days, r.min_days_seen"
    " FROM rollouts r JOIN releases l ON l.id = r.release_id WHERE r.status IN ('EN_CURSO', 'TERMINADO')"
    " ORDER BY r.id DESC";
// Outcomes before an operator's retry do not hold an installation back.
constexpr char Reported[] =
    "SELECT installation_id, offers, outcomes - retried_outcomes, failures, last_outcome_unix, last_outcome_ms,"
    " put_back FROM rollout_installations WHERE rollout_id = ?1 AND outcomes > retried_outcomes";
// A retry: the failed installations that never reported OK are offered again at once (never one whose agent
// put the previous program back: the release does not start there).
constexpr char Retry[] =
    "UPDATE rollout_installations SET retried_outcomes = outcomes WHERE rollout_id = ?1 AND failures > 0"
    " AND ok_ms = 0 AND put_back = 0 AND outcomes > retried_outcomes";
// Resuming a halted rollout acknowledges the failures counted so far: only new ones halt it again.
constexpr char Acknowledge[] =
    "UPDATE rollout_stage_counts SET acknowledged_failures = weighted_failures WHERE rollout_id = ?1";
constexpr char Acknowledged[] =
    "SELECT acknowledged_failures FROM rollout_stage_counts WHERE rollout_id = ?1 AND stage = ?2";
constexpr char OfferingIds[] = "SELECT id FROM rollouts WHERE status IN ('EN_CURSO', 'TERMINADO')";
// A pilot host's installations that count in the rollout (the rules are checked here).
constexpr char PilotInstallations[] =
    "SELECT id, first_seen_ms, days_seen FROM installations WHERE product = ?1 AND lower(hostname) = ?2";
// Every rollout's package and product: a token counts only for its own.
constexpr char RolloutFiles[] =
    "SELECT r.id, l.product, l.url, l.served_path FROM rollouts r JOIN releases l ON l.id = r.release_id";
constexpr char Awaiting[] =
    "SELECT installation_id FROM rollout_installations WHERE ok_ms > 0 AND confirmed_at IS NULL"
    " AND unconfirmed_at IS NULL";

constexpr char SelectReleases[] =
    "SELECT id, product, version, url, served_path, size, sha256, created_at, signature, statement, statement_signature"
    " FROM releases ORDER BY id DESC";
constexpr char SelectRelease[] =
    "SELECT id, product, version, url, served_path, size, sha256, created_at, signature, statement, statement_signature"
    " FROM releases WHERE id = ?1";
constexpr char AddRelease[] =
    "INSERT INTO releases (product, version, url, served_path, size, sha256, created_at, signature, statement,"
    " statement_signature) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) RETURNING id";
constexpr char BusyProduct[] =
    "SELECT r.id FROM rollouts r JOIN releases l ON l.id = r.release_id"
    " WHERE l.product = ?1 AND r.status IN ('EN_CURSO', 'PAUSADO')";
constexpr char AddRollout[] =
    "INSERT INTO rollouts (release_id, status, target_versions, target_from, target_to, pilot_hosts, stages,"
    " current_stage, stage_started_unix, min_outcomes, max_failures, max_failure_rate, soak_seconds,"
    " auto_advance, retry_pause_seconds, max_attempts, created_at, updated_at, started_ms, min_networks,"
    " network_weight, min_age_days, min_days_seen)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 0, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?16, ?17, ?18, ?19, ?20, ?21)"
    " RETURNING id";

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

void ReadRelease(const SqlRow& row, size_t first, Release& release) {
    release.id = row.Int(first);
    release.product = row.Text(first + 1);
    release.version = row.Text(first + 2);
    release.url = row.Text(first + 3);
    release.servedPath = row.Text(first + 4);
    release.size = static_cast<uint64_t>(row.Int(first + 5));
    release.sha256 = row.Text(first + 6);
    release.createdAt = row.Text(first + 7);
    release.signature = row.Text(first + 8);
    release.statement = row.Text(first + 9);
    release.statementSignature = row.Text(first + 10);
}

Rollout ReadRollout(const SqlRow& row) {
    Rollout rollout;
    rollout.id = row.Int(0);
    rollout.status = row.Text(1);
    rollout.targeting.versions = SplitList(row.Text(2));
    rollout.targeting.from = row.Text(3);
    rollout.targeting.to = row.Text(4);
    RolloutSettings& settings = rollout.settings;
    settings.pilotHosts = SplitList(row.Text(5));
    std::vector<double> percents;
    ParsePercents(row.Text(6), percents);
    settings.stages = StagesOf(percents, !settings.pilotHosts.empty());
    rollout.currentStage = static_cast<int>(row.Int(7));
    rollout.stageStartedAt = row.Int(8);
    settings.minOutcomes = static_cast<int>(row.Int(9));
    settings.maxFailures = static_cast<int>(row.Int(10));
    settings.maxFailureRate = row.Real(11);
    settings.soakSeconds = static_cast<int>(row.Int(12));
    settings.autoAdvance = row.Int(13) != 0;
    settings.retryPauseSeconds = static_cast<int>(row.Int(14));
    settings.maxAttempts = static_cast<int>(row.Int(15));
    rollout.haltReason = row.Text(16);
    rollout.createdAt = row.Text(17);
    ReadRelease(row, 18, rollout.release);
    rollout.startedMs = row.Int(29);
    settings.minNetworks = static_cast<int>(row.Int(30));
    settings.networkWeight = static_cast<int>(row.Int(31));
    settings.minAgeDays = static_cast<int>(row.Int(32));
    settings.minDaysSeen = static_cast<int>(row.Int(33));
    return rollout;
}

bool ReadRollouts(const SqlResult& result, std::vector<Rollout>& rollouts, std::string& error) {
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    for (const SqlRow& row : result.rows) rollouts.push_back(ReadRollout(row));
    return true;
}

SqlResult Event(const Database& db, long long rolloutId, int64_t now, const std::string& event,
                const std::string& detail) {
    return db.Run(AddEvent, {Int(rolloutId), Text(UtcText(now)), Text(event), Text(detail)});
}

// Moves a status on when it is `from`; `changed` tells whether it was.
SqlResult ChangeStatus(const Database& db, long long id, const std::string& from, const std::string& to,
                       const std::string& reason, int64_t now, bool& changed) {
    SqlResult result = db.Run(SetStatus, {Int(id), Text(to), Text(reason), Text(UtcText(now)), Text(from)});
    changed = result.Ok() && result.changes > 0;
    return result;
}

// The next stage, or finished after the last one.
SqlResult Advance(const Database& db, const Rollout& rollout, int64_t now, const std::string& by,
                  const std::string& actor, bool& changed) {
    const int last = static_cast<int>(rollout.settings.stages.size()) - 1;
    const bool finishing = rollout.currentStage >= last;
    SqlResult result = db.Run(SetStage, {Int(rollout.id), Int(finishing ? last : rollout.currentStage + 1), Int(now),
                                         Text(finishing ? rollout_status::Finished : rollout.status),
                                         Text(UtcText(now)), Int(rollout.currentStage)});
    changed = result.Ok() && result.changes > 0;
    if (!changed) return result;
    const std::string detail =
        finishing ? "todas las etapas cumplidas"
                  : "a la etapa " + StageName(rollout.settings.stages[static_cast<size_t>(rollout.currentStage) + 1]);
    result = Event(db, rollout.id, now, finishing ? "terminado" : "avanzado", detail + " (" + by + ")");
    if (result.Ok()) {
        result = RecordAudit(db, {actor, finishing ? audit_action::RolloutFinished : audit_action::RolloutAdvanced,
                                  "despliegue " + std::to_string(rollout.id), detail}, now);
    }
    Rollout moved = rollout;
    moved.currentStage = finishing ? last : rollout.currentStage + 1;
    if (result.Ok()) {
        result = QueueRolloutNews(db, moved, webhook_event::Advanced, finishing ? rollout_status::Finished : rollout.status,
                                  detail, actor, now);
    }
    return result;
}

const Stage& StageAt(const Rollout& rollout, int stage) {
    static const Stage none{false, 0};
    const auto& stages = rollout.settings.stages;
    return stage >= 0 && static_cast<size_t>(stage) < stages.size() ? stages[static_cast<size_t>(stage)] : none;
}

// Halts a rollout that offers (running or finished) when one of its
// stages' counted failures pass its threshold.
SqlResult HaltIfFailing(const Database& db, FleetMemory& memory, const Rollout& rollout, int stage,
                        const StageCounts& counts, int64_t now) {
    if (rollout.status != rollout_status::Running && rollout.status != rollout_status::Finished) return SqlResult();
    const Verdict verdict = HaltVerdict(rollout.settings, counts, StageAt(rollout, stage));
    if (!verdict.halt) return SqlResult();
    // Failures an operator acknowledged when resuming halt nothing by themselves.
    SqlResult result = db.Run(Acknowledged, {Int(rollout.id), Int(stage)});
    if (!result.Ok() || (!result.rows.empty() && counts.weightedFailures <= result.rows[0].Real(0) + 1e-6)) {
        return result;
    }
    bool changed = false;
    result = ChangeStatus(db, rollout.id, rollout.status, rollout_status::Halted, verdict.reason, now, changed);
    if (!result.Ok() || !changed) return result;
    memory.stoppedInBatch.push_back(rollout.id);
    result = Event(db, rollout.id, now, "detenido", verdict.reason);
    if (result.Ok()) {
        result = RecordAudit(db, {ServiceActor, audit_action::RolloutHalted, "despliegue " + std::to_string(rollout.id),
                                  verdict.reason}, now);
    }
    if (result.Ok()) {
        result = QueueRolloutNews(db, rollout, webhook_event::Halted, rollout_status::Halted, verdict.reason,
                                  ServiceActor, now);
    }
    return result;
}

// The rollout as it stands now, its row locked where instances share the store.
bool LockedRollout(const Database& db, long long id, Rollout& rollout, SqlResult& failure) {
    failure = LockRollout(db, id);
    if (!failure.Ok()) return false;
    std::string error;
    if (LoadRollout(db, id, rollout, error)) return true;
    failure.status = SqlStatus::Failed;
    failure.error = error;
    return false;
}

// A new installation, unless its network brought as many as it may in the
// last day already; `recorded` tells whether it now has a row.
SqlResult AddNewInstallation(const Database& db, const FleetLimits& limits, const PendingRow& row, bool& recorded) {
    constexpr int64_t DayMs = 86400000;
    const CheckInFacts& facts = *row.checkIn;
    const std::string network = NetworkOf(row.clientAddress);
    recorded = false;
    SqlResult result;
    if (limits.newInstallationsPerNetworkDay > 0) {
        result = db.Run(NewInNetwork,
                        {Text(network), Int(row.receivedMs - DayMs), Int(limits.newInstallationsPerNetworkDay)});
        if (!result.Ok() || result.Number(0) >= limits.newInstallationsPerNetworkDay) return result;
    }
    result = db.Run(AddInstallation,
                    {Text(facts.installationId), Text(facts.product), TextOrNull(facts.hostname),
                     TextOrNull(facts.installedPath), Text(row.clientAddress), TextOrNull(facts.programVersion),
                     TextOrNull(facts.agentVersion), TextOrNull(facts.windowsVersion), Text(row.receivedAt),
                     Int(row.receivedUnix), Int(row.receivedMs), Text(network), Int(row.receivedUnix / 86400)});
    recorded = result.Ok() && result.changes > 0;
    return result;
}

const ColumnValue& Member(const PendingRow& row, const char* name) {
    static const ColumnValue none;
    const auto& columns = ColumnsOf(row.kind);
    for (size_t i = 0; i < columns.size() && i < row.report.columns.size(); ++i) {
        if (std::string(columns[i].member) == name) return row.report.columns[i];
    }
    return none;
}

// Adds an installation's first outcome or first failure to its stage's
// counts: to its network's and the weighed totals when it counts, else to
// the outcomes kept apart.
SqlResult CountInStage(const Database& db, const Rollout& rollout, int stage, bool counted, const std::string& network,
                       int newOutcome, int newFailure, StageCounts& counts) {
    SqlResult result = db.Run(CountStage, {Int(rollout.id), Int(stage)});
    if (!result.Ok()) return result;
    counts = result.rows.empty() ? StageCounts() : ReadStageCounts(result.rows[0]);
    if (counted) {
        result = db.Run(CountNetwork, {Int(rollout.id), Int(stage), Text(network)});
        if (!result.Ok()) return result;
        NetworkTally before;
        if (!result.rows.empty())
            before = {static_cast<int>(result.rows[0].Int(0)), static_cast<int>(result.rows[0].Int(1))};
        counts = WithCountedOutcome(counts, before, newOutcome, newFailure, rollout.settings.networkWeight);
        result = db.Run(AddToNetwork, {Int(rollout.id), Int(stage), Text(network), Int(newOutcome), Int(newFailure)});
        if (!result.Ok()) return result;
    } else {
        counts.uncountedOutcomes += newOutcome;
        counts.uncountedFailures += newFailure;
    }
    return db.Run(SetStageCounts,
                  {Int(rollout.id), Int(stage), Int(counts.outcomes), Int(counts.failures),
                   Real(counts.weightedOutcomes), Real(counts.weightedFailures), Int(counts.networks),
                   Int(counts.failedNetworks), Int(counts.uncountedOutcomes), Int(counts.uncountedFailures)});
}

// Whether an installation's outcomes count in a rollout, from what the
// store knows of it (none when it has no row: it counts nowhere).
SqlResult Standing(const Database& db, const Rollout& rollout, const std::string& installationId, bool& known,
                   bool& counts) {
    SqlResult result = db.Run(InstallationStanding, {Text(installationId)});
    known = result.Ok() && !result.rows.empty();
    counts = known && CountsInRollout(rollout.settings, rollout.startedMs, result.rows[0].Int(0),
                                      static_cast<int>(result.rows[0].Int(1)));
    return result;
}

// An installation's way through a rollout so far, and whether and from
// which network its outcomes count (set at its first report).
struct SoFar {
    bool kept = false;  // the store has a row of it, in the rollout or as an installation
    int stage = 0;      // its first report, or its first failure, counts in the stage it was offered in
    long long outcomes = 0;
    long long failures = 0;
    bool counted = false;
    std::string network;
};

SqlResult ReadSoFar(const Database& db, const Rollout& rollout, const PendingRow& row, SoFar& soFar) {
    const ReportLink& link = *row.link;
    soFar.stage = rollout.currentStage;
    soFar.network = NetworkOf(row.clientAddress);
    SqlResult result = db.Run(InstallationSoFar, {Int(link.rolloutId), Text(link.installationId)});
    if (!result.Ok()) return result;
    soFar.kept = !result.rows.empty();
    if (soFar.kept) {
        const SqlRow& found = result.rows[0];
        soFar.stage = static_cast<int>(found.Int(0));
        soFar.outcomes = found.Int(1);
        soFar.failures = found.Int(2);
        if (soFar.outcomes > 0) {
            soFar.counted = found.Int(3) != 0;
            soFar.network = found.Text(4);
            return result;
        }
    }
    bool known = false;
    result = Standing(db, rollout, link.installationId, known, soFar.counted);
    soFar.kept = soFar.kept || known;
    return result;
}

// The report counts in its installation's way through the rollout, in the
// stage it was offered in, and may halt the rollout on that stage.
SqlResult WriteOutcome(const Database& db, FleetMemory& memory, const PendingRow& row) {
    const ReportLink& link = *row.link;
    Rollout rollout;
    SqlResult result;
    if (!LockedRollout(db, link.rolloutId, rollout, result)) {
        // Signed for a rollout this store does not have: nothing to count.
        return result.status == SqlStatus::Failed && result.error.rfind("no existe", 0) == 0 ? SqlResult() : result;
    }
    if (Member(row, "Programa").text != rollout.release.product) return SqlResult();  // another product's token
    const bool ok = Member(row, "resultado").text == "OK";
    SoFar soFar;
    result = ReadSoFar(db, rollout, row, soFar);
    // An installation the store never took (a network's new ones past
    // their bound) leaves its report stored and nothing else.
    if (!result.Ok() || !soFar.kept) return result;
    const int stage = soFar.stage;
    const bool counted = soFar.counted;
    const std::string& network = soFar.network;
    const long long outcomesBefore = soFar.outcomes, failuresBefore = soFar.failures;
    result = db.Run(RecordOutcome,
                    {Int(link.rolloutId), Text(link.installationId), Int(stage), Text(row.receivedAt), Int(ok ? 0 : 1),
                     Text(Member(row, "resultado").text), Text(Member(row, "paso_fallido").text),
                     Int(Member(row, "codigo_error").number), Int(row.receivedUnix), ok ? Text(row.receivedAt) : Null(),
                     Int(ok ? row.receivedMs : 0), Int(counted ? 1 : 0), Text(network), Int(row.receivedMs),
                     Int(link.putBack ? 1 : 0)});
    if (!result.Ok()) return result;
    result = CountInHistory(db, link.rolloutId, row.receivedUnix, row.receivedAt, ok, Member(row, "paso_fallido").text,
                            Member(row, "codigo_error").number, Member(row, "mensaje_error").text);
    if (!result.Ok()) return result;
    if (ok) memory.awaitingConfirmation.insert(link.installationId);
    const int newOutcome = outcomesBefore == 0 ? 1 : 0;
    const int newFailure = !ok && failuresBefore == 0 ? 1 : 0;
    if (newOutcome + newFailure == 0) return result;
    StageCounts counts;
    result = CountInStage(db, rollout, stage, counted, network, newOutcome, newFailure, counts);
    if (!result.Ok()) return result;
    // Any counted outcome may tip its stage: a failure, or the outcome that
    // makes the minimum for a failure rate already too high.
    return counted ? HaltIfFailing(db, memory, rollout, stage, counts, row.receivedUnix) : result;
}

SqlResult WriteDownload(const Database& db, const PendingRow& row) {
    return db.Run(row.download->completed ? RecordDownloadWhole : RecordDownloadBegun,
                  {Int(row.download->rolloutId), Text(row.download->installationId), Text(row.receivedAt)});
}

// A retry: the rollout's failed installations are offered the release again at once.
SqlResult RetryFailed(const Database& db, const Rollout& rollout, const std::string& by, const std::string& actor,
                      int64_t now, bool& applied) {
    SqlResult result = db.Run(Retry, {Int(rollout.id)});
    if (!result.Ok()) return result;
    applied = true;
    const std::string detail = std::to_string(result.changes) +
                               (result.changes == 1 ? " instalación fallida se ofrece" : " instalaciones fallidas se ofrecen") +
                               " de nuevo";
    result = Event(db, rollout.id, now, "reintento", detail + " (" + by + ")");
    if (result.Ok()) {
        result = RecordAudit(db, {actor, audit_action::RolloutRetried, "despliegue " + std::to_string(rollout.id),
                                  detail}, now);
    }
    return result;
}

const char* AuditActionOf(const std::string& event) {
    if (event == "pausado") return audit_action::RolloutPaused;
    if (event == "reanudado") return audit_action::RolloutResumed;
    if (event == "reconocido") return audit_action::RolloutAcknowledged;
    return audit_action::RolloutHalted;
}

// A change of status an operator's command makes.
struct StatusChange {
    std::string from, to, reason, event, detail;
};

// The change a pause, a resume, an acknowledged resume or a halt asks for;
// false for any other command, or a halt of a halted rollout.
bool StatusChangeOf(const RolloutCommand& command, const Rollout& rollout, const std::string& by,
                    StatusChange& change) {
    if (command.action == "pausar") {
        change = {rollout_status::Running, rollout_status::Paused, "", "pausado", ""};
    } else if (command.action == "reanudar") {
        change = {rollout_status::Paused, rollout_status::Running, "", "reanudado", ""};
    } else if (command.action == "reconocer") {
        // A halted rollout resumed once its reason was read: what failed so far is acknowledged.
        change = {rollout_status::Halted, rollout_status::Running, "", "reconocido",
                  "reanudado tras leer el motivo: " + rollout.haltReason + " (" + by + ")"};
    } else if (command.action == "detener") {
        if (rollout.status == rollout_status::Halted) return false;
        change = {rollout.status, rollout_status::Halted,
                  "detenido " + (command.operatorName == CommandLineActor ? by : "por el " + by), "detenido", ""};
    } else {
        return false;
    }
    return true;
}

SqlResult ApplyStatusChange(const Database& db, FleetMemory* memory, const RolloutCommand& command,
                            const Rollout& rollout, const StatusChange& change, const std::string& by, int64_t now,
                            bool& applied) {
    SqlResult result = ChangeStatus(db, rollout.id, change.from, change.to, change.reason, now, applied);
    if (!result.Ok() || !applied) return result;
    if (memory != nullptr && change.to != rollout_status::Running) memory->stoppedInBatch.push_back(rollout.id);
    if (change.event == "reconocido") result = db.Run(Acknowledge, {Int(rollout.id)});
    const std::string& told = !change.detail.empty() ? change.detail : (change.reason.empty() ? by : change.reason);
    if (result.Ok()) result = Event(db, rollout.id, now, change.event, told);
    if (result.Ok()) {
        result = RecordAudit(db, {command.operatorName, AuditActionOf(change.event), "despliegue " + std::to_string(rollout.id),
                                  change.event == "reconocido" ? rollout.haltReason : change.reason}, now);
    }
    if (result.Ok() && change.to == rollout_status::Halted) {
        result = QueueRolloutNews(db, rollout, webhook_event::Halted, rollout_status::Halted, change.reason,
                                  command.operatorName, now);
    }
    return result;
}

SqlResult WriteCommand(const Database& db, FleetMemory* memory, const RolloutCommand& command, int64_t now,
                       bool& applied) {
    applied = false;
    Rollout rollout;
    SqlResult result;
    if (!LockedRollout(db, command.rolloutId, rollout, result)) {
        return result.error.rfind("no existe", 0) == 0 ? SqlResult() : result;
    }
    const std::string by = command.operatorName == CommandLineActor ? "desde la " + command.operatorName
                                                                    : "operador " + command.operatorName;
    if (command.action == "avanzar") {
        if (rollout.status != rollout_status::Running && rollout.status != rollout_status::Paused) return SqlResult();
        return Advance(db, rollout, now, by, command.operatorName, applied);
    }
    if (command.action == "reintentar") return RetryFailed(db, rollout, by, command.operatorName, now, applied);
    StatusChange change;
    if (!StatusChangeOf(command, rollout, by, change)) return SqlResult();
    return ApplyStatusChange(db, memory, command, rollout, change, by, now, applied);
}

}  // namespace

StageCounts ReadStageCounts(const SqlRow& row) {
    StageCounts counts;
    counts.outcomes = static_cast<int>(row.Int(0));
    counts.failures = static_cast<int>(row.Int(1));
    counts.weightedOutcomes = row.Real(2);
    counts.weightedFailures = row.Real(3);
    counts.networks = static_cast<int>(row.Int(4));
    counts.failedNetworks = static_cast<int>(row.Int(5));
    counts.uncountedOutcomes = static_cast<int>(row.Int(6));
    counts.uncountedFailures = static_cast<int>(row.Int(7));
    return counts;
}

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

bool LoadFleetMemory(const Database& db, FleetMemory& memory) {
    memory.awaitingConfirmation.clear();
    const SqlResult result = db.Run(Awaiting);
    for (const SqlRow& row : result.rows) memory.awaitingConfirmation.insert(row.Text(0));
    return result.Ok();
}

SqlResult WriteCheckIn(const Database& db, FleetMemory& memory, const FleetLimits& limits, const PendingRow& row,
                       bool& withoutHistory) {
    const CheckInFacts& facts = *row.checkIn;
    SqlResult result = db.Run(TouchInstallation,
                              {Text(facts.installationId), Text(row.clientAddress), TextOrNull(facts.programVersion),
                               TextOrNull(facts.agentVersion), TextOrNull(facts.windowsVersion), Text(row.receivedAt),
                               Int(row.receivedUnix), Int(row.receivedUnix / 86400)});
    if (!result.Ok()) return result;
    bool recorded = result.changes > 0;
    withoutHistory = !recorded;  // else its row reads the installation's days (store.cpp, InsertSql)
    if (!recorded) {
        result = AddNewInstallation(db, limits, row, recorded);
        if (!result.Ok()) return result;
    }
    // Only an installation with a row of its own takes one in a rollout.
    if (facts.offeredRollout != 0 && recorded) {
        result = db.Run(RecordOffer, {Int(facts.offeredRollout), Text(facts.installationId), Int(facts.offeredStage),
                                      Real(facts.place), Text(row.receivedAt)});
        if (!result.Ok()) return result;
    }
    if (facts.programVersion.empty() || memory.awaitingConfirmation.count(facts.installationId) == 0) return result;
    long long marked = 0;
    for (const char* sql : {Confirm, Unconfirm}) {
        result = db.Run(
            sql, {Text(row.receivedAt), Text(facts.installationId), Int(row.receivedMs), Text(facts.programVersion)});
        if (!result.Ok()) return result;
        marked += result.changes;
    }
    if (marked > 0) memory.awaitingConfirmation.erase(facts.installationId);
    return result;
}

SqlResult HasHistory(const Database& db, const std::string& installationId, bool& withHistory) {
    SqlResult result = db.Run(InstallationStanding, {Text(installationId)});
    withHistory = result.Ok() && !result.rows.empty() && result.rows[0].Int(1) >= 2;
    return result;
}

SqlResult WriteFleetFacts(const Database& db, FleetMemory& memory, const PendingRow& row, bool& applied) {
    applied = false;
    if (row.link) return WriteOutcome(db, memory, row);
    if (row.download) return WriteDownload(db, row);
    if (row.command) return WriteCommand(db, &memory, *row.command, row.receivedUnix, applied);
    return SqlResult();
}

namespace {

// Halts a rollout on any of its stages (every stage's outcomes keep
// counting: late failures of a stage already passed halt it too), else
// advances it when its current stage has earned it.
SqlResult HaltOrAdvance(const Database& db, FleetMemory& memory, const Rollout& rollout, int64_t now) {
    SqlResult result = db.Run(CountStages, {Int(rollout.id)});
    if (!result.Ok()) return result;
    StageCounts current;
    for (const SqlRow& stageRow : result.rows) {
        const int stage = static_cast<int>(stageRow.Int(8));
        const StageCounts counts = ReadStageCounts(stageRow);
        if (stage == rollout.currentStage) current = counts;
        SqlResult halt = HaltIfFailing(db, memory, rollout, stage, counts, now);
        if (!halt.Ok()) return halt;
        if (!memory.stoppedInBatch.empty() && memory.stoppedInBatch.back() == rollout.id) return halt;
    }
    if (rollout.status != rollout_status::Running ||
        !MayAdvance(rollout.settings, current, rollout.stageStartedAt, now)) {
        return SqlResult();
    }
    bool changed = false;
    return Advance(db, rollout, now, "por sí solo", ServiceActor, changed);
}

}  // namespace

SqlResult AdvanceRollouts(const Database& db, FleetMemory& memory, int64_t now) {
    SqlResult offering = db.Run(OfferingIds);
    if (!offering.Ok()) return offering;
    for (const SqlRow& row : offering.rows) {
        Rollout rollout;
        SqlResult result;
        if (!LockedRollout(db, row.Int(0), rollout, result)) {
            if (result.status == SqlStatus::Busy) return result;
            continue;
        }
        result = HaltOrAdvance(db, memory, rollout, now);
        if (!result.Ok()) return result;
    }
    return SqlResult();
}

bool LoadOfferingState(const Database& db, OfferingState& state, std::string& error) {
    if (!ReadRollouts(db.Run(SelectOfferingRollouts), state.rollouts, error)) return false;
    ReportedInstallations& reported = state.reported;
    for (Rollout& rollout : state.rollouts) {
        const SqlResult result = db.Run(Reported, {Int(rollout.id)});
        if (!result.Ok()) {
            error = result.error;
            return false;
        }
        auto& records = reported[rollout.id];
        for (const SqlRow& row : result.rows) {
            InstallationInRollout& record = records[row.Text(0)];
            record.known = true;
            record.offers = static_cast<int>(row.Int(1));
            record.outcomes = static_cast<int>(row.Int(2));
            record.failures = static_cast<int>(row.Int(3));
            record.lastOutcomeAt = row.Int(4);
            record.lastOutcomeMs = row.Int(5);
            record.putBack = row.Int(6) != 0;
        }
        // Pilots: the pilot hosts' installations that count in the rollout.
        for (const std::string& host : rollout.settings.pilotHosts) {
            const SqlResult pilots = db.Run(PilotInstallations, {Text(rollout.release.product), Text(host)});
            if (!pilots.Ok()) {
                error = pilots.error;
                return false;
            }
            for (const SqlRow& row : pilots.rows) {
                if (CountsInRollout(rollout.settings, rollout.startedMs, row.Int(1), static_cast<int>(row.Int(2)))) {
                    rollout.pilots.insert(row.Text(0));
                }
            }
        }
    }
    const SqlResult files = db.Run(RolloutFiles);
    if (!files.Ok()) {
        error = files.error;
        return false;
    }
    for (const SqlRow& row : files.rows) state.files[row.Int(0)] = RolloutFile{row.Text(1), row.Text(2), row.Text(3)};
    return true;
}

bool LoadRollouts(const Database& db, std::vector<Rollout>& rollouts, std::string& error) {
    return ReadRollouts(db.Run(SelectAllRollouts), rollouts, error);
}

bool LoadRollout(const Database& db, long long id, Rollout& rollout, std::string& error) {
    std::vector<Rollout> found;
    if (!ReadRollouts(db.Run(SelectOneRollout, {Int(id)}), found, error)) return false;
    if (found.empty()) {
        error = "no existe el despliegue " + std::to_string(id);
        return false;
    }
    rollout = found[0];
    return true;
}

StageCounts LoadStageCounts(const Database& db, long long rolloutId, int stage) {
    const SqlResult result = db.Run(CountStage, {Int(rolloutId), Int(stage)});
    return result.Ok() && !result.rows.empty() ? ReadStageCounts(result.rows[0]) : StageCounts();
}

bool InsertRelease(const Database& db, Release& release, std::string& error, const std::string& actor) {
    const int64_t now = std::time(nullptr);
    release.createdAt = UtcText(now);
    SqlResult result = Begin(db);
    if (result.Ok()) {
        result = db.Run(AddRelease, {Text(release.product), Text(release.version), Text(release.url),
                                     Text(release.servedPath), Int(static_cast<long long>(release.size)),
                                     Text(release.sha256), Text(release.createdAt), Text(release.signature),
                                     Text(release.statement), Text(release.statementSignature)});
    }
    if (result.Ok() && !result.rows.empty()) {
        release.id = result.rows[0].Int(0);
        result = RecordAudit(db, {actor, audit_action::ReleaseAdded, "versión " + std::to_string(release.id),
                                  release.product + " " + release.version + " (" + release.url + ")"}, now);
    }
    if (result.Ok()) result = Commit(db);
    if (!result.Ok() || release.id == 0) {
        Rollback(db);
        const bool duplicate = result.error.find("UNIQUE") != std::string::npos ||
                               result.error.find("unique") != std::string::npos ||
                               result.error.find("duplicate") != std::string::npos;
        error = duplicate ? "ya hay una versión " + release.version + " de " + release.product : result.error;
        release.id = 0;
        return false;
    }
    return true;
}

bool LoadReleases(const Database& db, std::vector<Release>& releases, std::string& error) {
    const SqlResult result = db.Run(SelectReleases);
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    for (const SqlRow& row : result.rows) {
        Release release;
        ReadRelease(row, 0, release);
        releases.push_back(release);
    }
    return true;
}

bool KnownProducts(const Database& db, std::vector<std::string>& products, std::string& error) {
    const SqlResult result = db.Run(
        "SELECT product FROM releases UNION SELECT product FROM installations WHERE days_seen >= 2 ORDER BY 1 LIMIT 200");
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    for (const SqlRow& row : result.rows) products.push_back(row.Text(0));
    return true;
}

bool LoadRelease(const Database& db, long long id, Release& release, std::string& error) {
    const SqlResult result = db.Run(SelectRelease, {Int(id)});
    if (!result.Ok() || result.rows.empty()) {
        error = result.Ok() ? "no existe la version " + std::to_string(id) : result.error;
        return false;
    }
    ReadRelease(result.rows[0], 0, release);
    return true;
}

bool InsertRollout(const Database& db, Rollout& rollout, std::string& error, const std::string& actor) {
    SqlResult result = Begin(db);
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    result = LockFleetWrites(db);  // one start at a time
    if (result.Ok()) result = db.Run(BusyProduct, {Text(rollout.release.product)});
    if (!result.Ok() || !result.rows.empty()) {
        error = result.Ok() ? "el producto " + rollout.release.product + " ya tiene en curso el despliegue " +
                                  result.rows[0].Text(0) + " (detengalo antes)"
                            : result.error;
        Rollback(db);
        return false;
    }
    const int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const int64_t now = nowMs / 1000;
    rollout.createdAt = UtcText(now);
    rollout.stageStartedAt = now;
    rollout.startedMs = nowMs;
    const RolloutSettings& s = rollout.settings;
    result = db.Run(AddRollout, {Int(rollout.release.id),
                                 Text(rollout_status::Running),
                                 Text(JoinList(rollout.targeting.versions)),
                                 Text(rollout.targeting.from),
                                 Text(rollout.targeting.to),
                                 Text(JoinList(s.pilotHosts)),
                                 Text(PercentsText(s.stages)),
                                 Int(now),
                                 Int(s.minOutcomes),
                                 Int(s.maxFailures),
                                 Real(s.maxFailureRate),
                                 Int(s.soakSeconds),
                                 Int(s.autoAdvance ? 1 : 0),
                                 Int(s.retryPauseSeconds),
                                 Int(s.maxAttempts),
                                 Text(rollout.createdAt),
                                 Int(nowMs),
                                 Int(s.minNetworks),
                                 Int(s.networkWeight),
                                 Int(s.minAgeDays),
                                 Int(s.minDaysSeen)});
    if (result.Ok() && !result.rows.empty()) {
        rollout.id = result.rows[0].Int(0);
        result = Event(db, rollout.id, now, "iniciado", actor == CommandLineActor ? "" : "operador " + actor);
    }
    if (result.Ok()) {
        result = RecordAudit(db, {actor, audit_action::RolloutStarted, "despliegue " + std::to_string(rollout.id),
                                  rollout.release.product + " " + rollout.release.version + ", etapas " +
                                      PercentsText(s.stages)}, now);
    }
    if (result.Ok()) result = Commit(db);
    if (!result.Ok()) {
        error = result.error;
        Rollback(db);
        return false;
    }
    return true;
}

bool ApplyRolloutCommand(const Database& db, const RolloutCommand& command, std::string& error) {
    SqlResult result = Begin(db);
    bool applied = false;
    if (result.Ok()) result = LockFleetWrites(db);
    if (result.Ok()) result = WriteCommand(db, nullptr, command, std::time(nullptr), applied);
    if (result.Ok()) result = Commit(db);
    if (!result.Ok()) {
        error = result.error;
        Rollback(db);
        return false;
    }
    if (!applied) error = "el despliegue " + std::to_string(command.rolloutId) + " no admite \"" + command.action + "\" ahora";
    return applied;
}
