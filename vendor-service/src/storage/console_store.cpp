#include "storage/console_store.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <cstdio>
#include <set>

#include "agents/contract.h"
#include "rollouts/rollout_rules.h"
#include "storage/fleet_store.h"
#include "storage/stored_time.h"

namespace {

constexpr size_t SummaryRows = 50;  // per table; the rest are summed as one row

// The summary's three tables and its total from one pass over the
// installations: their counts by every combination shown, summed here.
// Installations without history (seen on one day only) are counted apart:
// a stranger can make those up, not the ones in the tables.
constexpr char CountSeenCombinations[] =
    "SELECT product, COALESCE(program_version, ''), COALESCE(agent_version, ''), COALESCE(windows_version, ''),"
    " COUNT(*) FROM installations WHERE last_seen_unix >= ?1 AND days_seen >= 2 GROUP BY 1, 2, 3, 4";
constexpr char CountWithoutHistory[] =
    "SELECT COUNT(*) FROM installations WHERE last_seen_unix >= ?1 AND days_seen < 2";

constexpr char OfferedIds[] = "SELECT installation_id FROM rollout_installations WHERE rollout_id = ?1";
constexpr char ProductFleet[] =
    "SELECT id, program_version, hostname, first_seen_ms, days_seen, network FROM installations WHERE product = ?1"
    " AND last_seen_unix >= ?2";
// The funnel and its failures by the band of each installation's place
// ({band}: a CASE made from the rollout's stages).
constexpr char Funnel[] =
    "SELECT {band}, COUNT(*) FILTER (WHERE offers > 0), COUNT(download_started_at), COUNT(download_completed_at),"
    " COUNT(*) FILTER (WHERE outcomes > 0), COUNT(*) FILTER (WHERE ok_ms > 0), COUNT(*) FILTER (WHERE failures > 0),"
    " COUNT(confirmed_at), COUNT(unconfirmed_at) FROM rollout_installations WHERE rollout_id = ?1 GROUP BY 1";
constexpr char FunnelFailures[] =
    "SELECT {band}, COALESCE(last_step, ''), COALESCE(last_code, 0), COUNT(*) FROM rollout_installations"
    " WHERE rollout_id = ?1 AND failures > 0 GROUP BY 1, 2, 3 ORDER BY 4 DESC";
constexpr char Retryable[] =
    "SELECT COUNT(*) FROM rollout_installations WHERE rollout_id = ?1 AND failures > 0 AND ok_ms = 0"
    " AND outcomes > retried_outcomes";
// Read as fleet_store.h's ReadStageCounts reads them, the stage and what was acknowledged after.
constexpr char StageDecisions[] =
    "SELECT outcomes, failures, weighted_outcomes, weighted_failures, networks, failed_networks, uncounted_outcomes,"
    " uncounted_failures, stage, acknowledged_failures FROM rollout_stage_counts WHERE rollout_id = ?1";
constexpr char HaltedSince[] =
    "SELECT r.id, l.product, l.version, r.halt_reason FROM rollouts r JOIN releases l ON l.id = r.release_id"
    " WHERE r.status = 'DETENIDO' AND r.updated_at >= ?1 ORDER BY r.id DESC LIMIT 3";
constexpr char RolloutsOfRelease[] = "SELECT id FROM rollouts WHERE release_id = ?1 ORDER BY id";
constexpr char OneInstallation[] =
    "SELECT id, product, COALESCE(hostname, ''), COALESCE(program_version, ''), last_seen,"
    " COALESCE(installed_path, ''), client_address, COALESCE(agent_version, ''), COALESCE(windows_version, ''),"
    " first_seen, checkins, days_seen FROM installations WHERE id = ?1";

// Runs a query, calling `row` for each result row; false with the error.
template <class Row>
bool Each(const Database& db, const char* sql, const std::vector<SqlValue>& parameters, Row row, std::string& error) {
    const SqlResult result = db.Run(sql, parameters);
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    for (const SqlRow& each : result.rows) row(each);
    return true;
}

using Tally = std::map<std::pair<std::string, std::string>, long long>;

// Largest first; by name where counts tie, or first by name when `byFirst`.
// Past SummaryRows, the smallest are summed as one row, "(otras)".
std::vector<CountRow> Ranked(const Tally& tally, bool byFirst) {
    std::vector<CountRow> rows;
    for (const auto& [key, count] : tally) rows.push_back(CountRow{key.first, key.second, count});
    std::stable_sort(rows.begin(), rows.end(), [](const CountRow& a, const CountRow& b) { return a.count > b.count; });
    if (rows.size() > SummaryRows) {
        CountRow others{"(otras)", "", 0};
        for (size_t i = SummaryRows - 1; i < rows.size(); ++i) others.count += rows[i].count;
        rows.resize(SummaryRows - 1);
        rows.push_back(others);
    }
    if (byFirst) {
        std::stable_sort(rows.begin(), rows.end() - (tally.size() > SummaryRows ? 1 : 0),
                         [](const CountRow& a, const CountRow& b) { return a.first < b.first; });
    }
    return rows;
}

// The stage an installation belongs to by its place, or as a pilot; -1 for none.
int StageOf(const Rollout& rollout, double place, bool pilot) {
    if (pilot) return 0;
    for (size_t i = 0; i < rollout.settings.stages.size(); ++i) {
        const Stage& stage = rollout.settings.stages[i];
        if (!stage.pilot && place < stage.percent) return static_cast<int>(i);
    }
    return -1;
}

// A pilot host's installation that counts in the rollout.
bool IsPilot(const Rollout& rollout, const std::string& hostname, int64_t firstSeenMs, int daysSeen) {
    std::string host = hostname;
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto& pilots = rollout.settings.pilotHosts;
    return !host.empty() && std::find(pilots.begin(), pilots.end(), host) != pilots.end() &&
           CountsInRollout(rollout.settings, rollout.startedMs, firstSeenMs, daysSeen);
}

// The band of a stage by place as SQL: pilots (first offered in a pilot
// stage) in the first, a row without a place where it was first offered.
std::string BandSql(const Rollout& rollout) {
    const auto& stages = rollout.settings.stages;
    std::string sql = "CASE WHEN place < 0 THEN stage";
    if (!stages.empty() && stages[0].pilot) sql += " WHEN stage = 0 THEN 0";
    for (size_t i = 0; i < stages.size(); ++i) {
        if (stages[i].pilot) continue;
        char percent[40];
        std::snprintf(percent, sizeof percent, "%.17g", stages[i].percent);
        sql += std::string(" WHEN place < ") + percent + " THEN " + std::to_string(i);
    }
    return sql + " ELSE stage END";
}

std::string WithBand(const char* sql, const Rollout& rollout) {
    std::string text = sql;
    text.replace(text.find("{band}"), 6, BandSql(rollout));
    return text;
}

// How many installations of the product each stage's band takes in: those
// on a version the release replaces, or already offered it, seen in the
// last 30 days; and of those, the ones that count, by network.
bool CountTargeted(const Database& db, RolloutView& view, std::string& error) {
    const Rollout& rollout = view.rollout;
    std::set<std::string> offered;
    if (!Each(
            db, OfferedIds, {Int(rollout.id)}, [&](const SqlRow& r) { offered.insert(r.Text(0)); }, error)) {
        return false;
    }
    std::vector<std::map<std::string, long long>> networks(view.stages.size());
    const int64_t since = std::time(nullptr) - int64_t{30} * 86400;
    const bool read = Each(
        db, ProductFleet, {Text(rollout.release.product), Int(since)},
        [&](const SqlRow& r) {
            const std::string id = r.Text(0);
            if (offered.count(id) == 0 && !IsTargeted(rollout.targeting, r.Text(1))) return;
            const int64_t firstSeenMs = r.Int(3);
            const int daysSeen = static_cast<int>(r.Int(4));
            const bool pilot = IsPilot(rollout, r.Text(2), firstSeenMs, daysSeen);
            const int stage = StageOf(rollout, PlaceInRollout(id, rollout.release.id), pilot);
            if (stage < 0) return;
            StageFunnel& band = view.stages[static_cast<size_t>(stage)];
            ++band.targeted;
            if (CountsInRollout(rollout.settings, rollout.startedMs, firstSeenMs, daysSeen)) {
                ++band.countable;
                ++networks[static_cast<size_t>(stage)][r.Text(5)];
            }
        },
        error);
    const int weight = rollout.settings.networkWeight;
    for (size_t i = 0; i < networks.size(); ++i) {
        view.stages[i].countableNetworks = static_cast<int>(networks[i].size());
        for (const auto& [network, count] : networks[i]) {
            view.stages[i].reachableWeight += static_cast<double>(weight > 0 ? std::min<long long>(count, weight) : count);
        }
    }
    return read;
}

// Each row of the funnel holds the bands above it.
void Accumulate(std::vector<StageFunnel>& stages) {
    for (size_t i = 1; i < stages.size(); ++i) {
        StageFunnel& row = stages[i];
        const StageFunnel& above = stages[i - 1];
        row.targeted += above.targeted;
        row.offered += above.offered;
        row.downloadStarted += above.downloadStarted;
        row.downloaded += above.downloaded;
        row.withOutcome += above.withOutcome;
        row.reportedOk += above.reportedOk;
        row.failed += above.failed;
        row.confirmed += above.confirmed;
        row.unconfirmed += above.unconfirmed;
        std::map<std::pair<std::string, long long>, long long> failures;
        for (const std::vector<FailureCount>* list : {&above.failures, &static_cast<const StageFunnel&>(row).failures}) {
            for (const FailureCount& f : *list) failures[{f.step, f.code}] += f.installations;
        }
        row.failures.clear();
        for (const auto& [key, count] : failures) row.failures.push_back(FailureCount{key.first, key.second, count});
        std::stable_sort(row.failures.begin(), row.failures.end(),
                         [](const FailureCount& a, const FailureCount& b) { return a.installations > b.installations; });
    }
}

bool RolloutIdsOf(const Database& db, long long releaseId, std::vector<long long>& ids, std::string& error) {
    return Each(
        db, RolloutsOfRelease, {Int(releaseId)}, [&](const SqlRow& r) { ids.push_back(r.Int(0)); }, error);
}

// The release of the same program before this one: the highest version below it.
bool PreviousRelease(const Database& db, const Release& release, Release& previous, bool& found, std::string& error) {
    std::vector<Release> releases;
    found = false;
    if (!LoadReleases(db, releases, error)) return false;
    for (const Release& other : releases) {
        int below = 0, above = 0;
        if (other.product != release.product || other.id == release.id ||
            !contract::CompareVersions(other.version, release.version, below) || below >= 0) {
            continue;
        }
        if (!found || (contract::CompareVersions(other.version, previous.version, above) && above > 0)) {
            previous = other;
            found = true;
        }
    }
    return true;
}

}  // namespace

std::vector<ChartWindow> ChartWindows() {
    return {{"24h", "24 horas", 86400, 3600}, {"7d", "7 días", int64_t{7} * 86400, int64_t{6} * 3600}, {"30d", "30 días", int64_t{30} * 86400, 86400}};
}

ChartWindow WindowOf(const std::string& key) {
    for (const ChartWindow& window : ChartWindows()) {
        if (window.key == key) return window;
    }
    return ChartWindows()[1];
}

bool ReadFleetSummary(const Database& db, int days, FleetSummary& summary, std::string& error) {
    summary.days = days;
    const int64_t since = std::time(nullptr) - static_cast<int64_t>(days) * 86400;
    Tally byProduct, byAgent, byWindows;
    const bool counted = Each(
        db, CountSeenCombinations, {Int(since)},
        [&](const SqlRow& r) {
            const long long count = r.Int(4);
            summary.installations += count;
            byProduct[{r.Text(0), r.Text(1)}] += count;
            byAgent[{r.Text(2), ""}] += count;
            byWindows[{r.Text(3), ""}] += count;
        },
        error);
    if (!counted) return false;
    const SqlResult apart = db.Run(CountWithoutHistory, {Int(since)});
    if (!apart.Ok()) {
        error = apart.error;
        return false;
    }
    summary.withoutHistory = apart.Number(0);
    summary.byProductAndVersion = Ranked(byProduct, true);
    summary.agentVersions = Ranked(byAgent, false);
    summary.windowsVersions = Ranked(byWindows, false);
    return LoadRollouts(db, summary.rollouts, error);
}

bool ReadRolloutView(const Database& db, long long id, RolloutView& view, std::string& error) {
    if (!LoadRollout(db, id, view.rollout, error)) return false;
    for (const Stage& stage : view.rollout.settings.stages) {
        StageFunnel funnel;
        funnel.stage = stage;
        view.stages.push_back(funnel);
    }
    view.decisions.resize(view.stages.size());
    view.acknowledged.resize(view.stages.size());
    const auto inStage = [&view](const SqlRow& r) -> StageFunnel* {
        const long long stage = r.Int(0);
        return stage >= 0 && static_cast<size_t>(stage) < view.stages.size() ? &view.stages[static_cast<size_t>(stage)]
                                                                              : nullptr;
    };
    const std::vector<SqlValue> byRollout = {Int(id)};
    const SqlResult funnel = db.RunText(WithBand(Funnel, view.rollout), byRollout);
    const SqlResult failures = db.RunText(WithBand(FunnelFailures, view.rollout), byRollout);
    if (!funnel.Ok() || !failures.Ok()) {
        error = !funnel.Ok() ? funnel.error : failures.error;
        return false;
    }
    for (const SqlRow& r : funnel.rows) {
        if (StageFunnel* f = inStage(r)) {
            f->offered = r.Int(1), f->downloadStarted = r.Int(2), f->downloaded = r.Int(3), f->withOutcome = r.Int(4);
            f->reportedOk = r.Int(5), f->failed = r.Int(6), f->confirmed = r.Int(7), f->unconfirmed = r.Int(8);
        }
    }
    for (const SqlRow& r : failures.rows) {
        if (StageFunnel* f = inStage(r)) f->failures.push_back(FailureCount{r.Text(1), r.Int(2), r.Int(3)});
    }
    const SqlResult retryable = db.Run(Retryable, byRollout);
    if (!retryable.Ok()) {
        error = retryable.error;
        return false;
    }
    view.retryable = retryable.Number(0);
    const bool read = CountTargeted(db, view, error) &&
                      Each(
                          db, StageDecisions, byRollout,
                          [&](const SqlRow& r) {
                              const long long stage = r.Int(8);
                              if (stage < 0 || static_cast<size_t>(stage) >= view.decisions.size()) return;
                              view.decisions[static_cast<size_t>(stage)] = ReadStageCounts(r);
                              view.acknowledged[static_cast<size_t>(stage)] = r.Real(9);
                          },
                          error);
    Accumulate(view.stages);
    return read;
}

bool ReadHaltAlerts(const Database& db, const std::string& sinceUtc, std::vector<HaltAlert>& alerts,
                    std::string& error) {
    return Each(
        db, HaltedSince, {Text(sinceUtc)},
        [&](const SqlRow& r) { alerts.push_back(HaltAlert{r.Int(0), r.Text(1), r.Text(2), r.Text(3)}); }, error);
}

bool ReadReleaseHealth(const Database& db, const Release& release, long long rolloutId, const ChartWindow& window,
                       int64_t now, ReleaseHealth& health, std::string& error) {
    if (rolloutId != 0) {
        health.rolloutIds = {rolloutId};
    } else if (!RolloutIdsOf(db, release.id, health.rolloutIds, error)) {
        return false;
    }
    std::vector<long long> previousIds;
    if (!ReadOutcomeTotals(db, health.rolloutIds, health.outcomes, health.failed, error) ||
        !PreviousRelease(db, release, health.previous, health.hasPrevious, error) ||
        (health.hasPrevious && (!RolloutIdsOf(db, health.previous.id, previousIds, error) ||
                                !ReadOutcomeTotals(db, previousIds, health.previousOutcomes, health.previousFailed,
                                                   error)))) {
        return false;
    }
    OutcomeSeries& series = health.series;
    series.bucketSeconds = window.bucketSeconds;
    const int64_t end = (now / window.bucketSeconds + 1) * window.bucketSeconds;
    series.from = end - window.seconds;
    const size_t buckets = static_cast<size_t>(window.seconds / window.bucketSeconds);
    series.oks.assign(buckets, 0);
    series.failures.assign(buckets, 0);
    std::vector<HourCounts> hours;
    if (!ReadRolloutHours(db, health.rolloutIds, series.from / 3600, hours, series.oksBefore, error)) return false;
    for (const HourCounts& hour : hours) {
        const int64_t bucket = (hour.hour * 3600 - series.from) / window.bucketSeconds;
        if (bucket < 0 || static_cast<size_t>(bucket) >= buckets) continue;
        series.oks[static_cast<size_t>(bucket)] += hour.oks;
        series.failures[static_cast<size_t>(bucket)] += hour.failures;
    }
    return ReadFailureGroups(db, health.rolloutIds, UtcText(series.from), health.groups, error);
}

bool ReadInstallationFacts(const Database& db, const std::string& id, InstallationFacts& facts, std::string& error) {
    return Each(
               db, OneInstallation, {Text(id)},
               [&](const SqlRow& r) {
                   facts = InstallationFacts{true,       r.Text(0), r.Text(1), r.Text(2), r.Text(3), r.Text(5),
                                             r.Text(6),  r.Text(7), r.Text(8), r.Text(9), r.Text(4), r.Int(10),
                                             r.Int(11)};
               },
               error) &&
           facts.found;
}
