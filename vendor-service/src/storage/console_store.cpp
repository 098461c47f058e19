#include "storage/console_store.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "rollouts/rollout_rules.h"
#include "storage/fleet_store.h"

namespace {

constexpr int ListLimit = 200;
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
    "SELECT id, program_version, hostname, first_seen_ms, days_seen FROM installations WHERE product = ?1"
    " AND last_seen_unix >= ?2";
constexpr char Funnel[] =
    "SELECT stage, COUNT(*) FILTER (WHERE offers > 0), COUNT(download_started_at), COUNT(download_completed_at),"
    " COUNT(*) FILTER (WHERE ok_ms > 0), COUNT(*) FILTER (WHERE failures > 0), COUNT(confirmed_at),"
    " COUNT(unconfirmed_at) FROM rollout_installations WHERE rollout_id = ?1 GROUP BY stage";
constexpr char FunnelFailures[] =
    "SELECT stage, COALESCE(last_step, ''), COALESCE(last_code, 0), COUNT(*) FROM rollout_installations"
    " WHERE rollout_id = ?1 AND failures > 0 GROUP BY stage, COALESCE(last_step, ''), COALESCE(last_code, 0)"
    " ORDER BY 4 DESC";
constexpr char Events[] = "SELECT at, event, detail FROM rollout_events WHERE rollout_id = ?1 ORDER BY id DESC LIMIT 50";
// The latest 200 taken first, then joined: not the whole rollout joined and sorted.
constexpr char OfferedTo[] =
    "SELECT i.id, i.product, COALESCE(i.hostname, ''), COALESCE(i.program_version, ''), i.last_seen,"
    " CASE WHEN ri.confirmed_at IS NOT NULL THEN 'confirmada'"
    " WHEN ri.unconfirmed_at IS NOT NULL THEN 'OK sin confirmar: sigue en la version anterior'"
    " WHEN ri.ok_ms > 0 THEN 'OK, a la espera de confirmacion'"
    " WHEN ri.failures > 0 THEN 'fallo: ' || COALESCE(ri.last_step, '') || ' ' || CAST(COALESCE(ri.last_code, 0) AS TEXT)"
    " WHEN ri.download_completed_at IS NOT NULL THEN 'descargada'"
    " WHEN ri.download_started_at IS NOT NULL THEN 'descargando' ELSE 'ofrecida' END"
    " FROM (SELECT * FROM rollout_installations WHERE rollout_id = ?1 ORDER BY last_offered_at DESC LIMIT 200) ri"
    " JOIN installations i ON i.id = ri.installation_id ORDER BY ri.last_offered_at DESC";
// Read as fleet_store.h's ReadStageCounts reads them, the stage after.
constexpr char StageDecisions[] =
    "SELECT outcomes, failures, weighted_outcomes, weighted_failures, networks, failed_networks, uncounted_outcomes,"
    " uncounted_failures, stage FROM rollout_stage_counts WHERE rollout_id = ?1";

constexpr char FailuresLinked[] =
    "SELECT r.id, l.product, l.version, COALESCE(ri.last_step, ''), COALESCE(ri.last_code, 0), COUNT(*)"
    " FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id JOIN releases l ON l.id = r.release_id"
    " WHERE ri.failures > 0 GROUP BY r.id, l.product, l.version, COALESCE(ri.last_step, ''), COALESCE(ri.last_code, 0)"
    " ORDER BY 6 DESC";
constexpr char FailuresUnlinked[] =
    "SELECT COALESCE(\"Programa\", ''), COALESCE(version_nueva, ''), COALESCE(paso_fallido, ''),"
    " COALESCE(codigo_error, 0), COUNT(*) FROM update_reports WHERE rollout_id IS NULL"
    " AND COALESCE(resultado, '') <> 'OK' GROUP BY COALESCE(\"Programa\", ''), COALESCE(version_nueva, ''),"
    " COALESCE(paso_fallido, ''), COALESCE(codigo_error, 0) ORDER BY 5 DESC LIMIT 20";
constexpr char FailedInstallations[] =
    "SELECT i.id, i.product, COALESCE(i.hostname, ''), COALESCE(i.program_version, ''), i.last_seen,"
    " CAST(ri.failures AS TEXT) || ' fallo(s), el ultimo ' || COALESCE(ri.last_outcome_at, '')"
    " FROM rollout_installations ri JOIN installations i ON i.id = ri.installation_id"
    " WHERE ri.rollout_id = ?1 AND ri.failures > 0 AND COALESCE(ri.last_step, '') = ?2"
    " AND COALESCE(ri.last_code, 0) = ?3 ORDER BY ri.last_outcome_unix DESC LIMIT 200";
constexpr char Search[] =
    "SELECT id, product, COALESCE(hostname, ''), COALESCE(program_version, ''), last_seen, '' FROM installations"
    " WHERE hostname LIKE ?1 ESCAPE '\\' OR id = ?2 ORDER BY last_seen_unix DESC LIMIT 200";

constexpr char OneInstallation[] =
    "SELECT id, product, COALESCE(hostname, ''), COALESCE(program_version, ''), last_seen,"
    " COALESCE(installed_path, ''), client_address, COALESCE(agent_version, ''), COALESCE(windows_version, ''),"
    " first_seen, checkins FROM installations WHERE id = ?1";
constexpr char CheckInsOf[] =
    "SELECT received_at, COALESCE(\"Version\", ''), COALESCE(actualizador_version, ''), client_address"
    " FROM checkins WHERE installation_id = ?1 ORDER BY id DESC LIMIT 200";
constexpr char OffersOf[] =
    "SELECT ri.first_offered_at, l.version, r.id, ri.download_started_at, ri.download_completed_at"
    " FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id JOIN releases l ON l.id = r.release_id"
    " WHERE ri.installation_id = ?1";
constexpr char ReportsOf[] =
    "SELECT received_at, COALESCE(resultado, ''), COALESCE(version_anterior, ''), COALESCE(version_nueva, ''),"
    " COALESCE(paso_fallido, ''), COALESCE(codigo_error, 0), COALESCE(mensaje_error, '')"
    " FROM update_reports WHERE installation_id = ?1 ORDER BY id DESC LIMIT 200";
// Acceptances of documents sent to this installation (their address carried its token).
constexpr char AcceptancesOf[] =
    "SELECT received_at, COALESCE(rtf_url, '') FROM acceptance_reports WHERE installation_id = ?1"
    " ORDER BY id DESC LIMIT 200";

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

InstallationLine LineOf(const SqlRow& r) {
    return InstallationLine{r.Text(0), r.Text(1), r.Text(2), r.Text(3), r.Text(4), r.Text(5)};
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

// How many installations of the product each stage takes in: those on a
// version the release replaces, or already offered it, seen in the last
// 30 days.
bool CountTargeted(const Database& db, RolloutView& view, std::string& error) {
    const Rollout& rollout = view.rollout;
    std::set<std::string> offered;
    if (!Each(
            db, OfferedIds, {Int(rollout.id)}, [&](const SqlRow& r) { offered.insert(r.Text(0)); }, error)) {
        return false;
    }
    const int64_t since = std::time(nullptr) - int64_t{30} * 86400;
    return Each(
        db, ProductFleet, {Text(rollout.release.product), Int(since)},
        [&](const SqlRow& r) {
            const std::string id = r.Text(0);
            if (offered.count(id) == 0 && !IsTargeted(rollout.targeting, r.Text(1))) return;
            const bool pilot = IsPilot(rollout, r.Text(2), r.Int(3), static_cast<int>(r.Int(4)));
            const int stage = StageOf(rollout, PlaceInRollout(id, rollout.release.id), pilot);
            if (stage >= 0) ++view.stages[static_cast<size_t>(stage)].targeted;
        },
        error);
}

}  // namespace

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
    const auto inStage = [&view](const SqlRow& r) -> StageFunnel* {
        const long long stage = r.Int(0);
        return stage >= 0 && static_cast<size_t>(stage) < view.stages.size() ? &view.stages[static_cast<size_t>(stage)]
                                                                              : nullptr;
    };
    const std::vector<SqlValue> byRollout = {Int(id)};
    return CountTargeted(db, view, error) &&
           Each(
               db, Funnel, byRollout,
               [&](const SqlRow& r) {
                   StageFunnel* funnel = inStage(r);
                   if (funnel == nullptr) return;
                   funnel->offered = r.Int(1);
                   funnel->downloadStarted = r.Int(2);
                   funnel->downloaded = r.Int(3);
                   funnel->reportedOk = r.Int(4);
                   funnel->failed = r.Int(5);
                   funnel->confirmed = r.Int(6);
                   funnel->unconfirmed = r.Int(7);
               },
               error) &&
           Each(
               db, FunnelFailures, byRollout,
               [&](const SqlRow& r) {
                   if (StageFunnel* funnel = inStage(r)) {
                       funnel->failures.push_back(FailureCount{r.Text(1), r.Int(2), r.Int(3)});
                   }
               },
               error) &&
           Each(
               db, Events, byRollout,
               [&](const SqlRow& r) {
                   view.events.push_back(RolloutEvent{r.Text(0), r.Text(1), r.Text(2)});
               },
               error) &&
           Each(
               db, OfferedTo, byRollout, [&](const SqlRow& r) { view.installations.push_back(LineOf(r)); }, error) &&
           Each(
               db, StageDecisions, byRollout,
               [&](const SqlRow& r) {
                   const long long stage = r.Int(8);
                   if (stage < 0 || static_cast<size_t>(stage) >= view.decisions.size()) return;
                   view.decisions[static_cast<size_t>(stage)] = ReadStageCounts(r);
               },
               error);
}

bool ReadFailures(const Database& db, std::vector<FailureRow>& rows, std::string& error) {
    return Each(
               db, FailuresLinked, {},
               [&](const SqlRow& r) {
                   rows.push_back(FailureRow{r.Int(0), r.Text(1), r.Text(2), r.Text(3), r.Int(4), r.Int(5)});
               },
               error) &&
           Each(
               db, FailuresUnlinked, {},
               [&](const SqlRow& r) { rows.push_back(FailureRow{0, r.Text(0), r.Text(1), r.Text(2), r.Int(3), r.Int(4)}); },
               error);
}

bool ReadFailureInstallations(const Database& db, long long rolloutId, const std::string& step, long long code,
                              std::vector<InstallationLine>& lines, std::string& error) {
    return Each(
        db, FailedInstallations, {Int(rolloutId), Text(step), Int(code)},
        [&](const SqlRow& r) { lines.push_back(LineOf(r)); }, error);
}

bool SearchInstallations(const Database& db, const std::string& text, std::vector<InstallationLine>& lines,
                         std::string& error) {
    std::string pattern;
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return Each(
        db, Search, {Text("%" + pattern + "%"), Text(text)}, [&](const SqlRow& r) { lines.push_back(LineOf(r)); },
        error);
}

bool ReadInstallationHistory(const Database& db, const std::string& id, InstallationHistory& history,
                             std::string& error) {
    using Event = InstallationHistory::Event;
    const std::vector<SqlValue> byId = {Text(id)};
    if (!Each(
            db, OneInstallation, byId,
            [&](const SqlRow& r) {
                history.found = true;
                history.installation = InstallationLine{r.Text(0), r.Text(1), r.Text(2), r.Text(3), r.Text(4), ""};
                history.installedPath = r.Text(5);
                history.clientAddress = r.Text(6);
                history.agentVersion = r.Text(7);
                history.windowsVersion = r.Text(8);
                history.firstSeen = r.Text(9);
                history.checkIns = r.Int(10);
            },
            error) ||
        !history.found) {
        return false;
    }
    std::vector<Event>& events = history.events;
    const auto add = [&events](const std::string& at, const char* kind, const std::string& summary) {
        events.push_back(Event{at, kind, summary});
    };
    const bool read =
        Each(
            db, CheckInsOf, byId,
            [&](const SqlRow& r) {
                add(r.Text(0), "check-in", "version " + r.Text(1) + ", agente " + r.Text(2) + ", desde " + r.Text(3));
            },
            error) &&
        Each(
            db, OffersOf, byId,
            [&](const SqlRow& r) {
                add(r.Text(0), "oferta", "version " + r.Text(1) + " (despliegue " + r.Text(2) + ")");
                if (!r.IsNull(3)) add(r.Text(3), "descarga", "comenzada: version " + r.Text(1));
                if (!r.IsNull(4)) add(r.Text(4), "descarga", "completa: version " + r.Text(1));
            },
            error) &&
        Each(
            db, ReportsOf, byId,
            [&](const SqlRow& r) {
                std::string text = r.Text(1) + ": " + r.Text(2) + " -> " + r.Text(3);
                if (r.Text(1) != "OK") text += ", paso " + r.Text(4) + ", codigo " + r.Text(5) + " " + r.Text(6);
                add(r.Text(0), "informe", text);
            },
            error) &&
        Each(
            db, AcceptancesOf, byId, [&](const SqlRow& r) { add(r.Text(0), "aceptacion", r.Text(1)); }, error);
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at > b.at; });
    return read;
}
