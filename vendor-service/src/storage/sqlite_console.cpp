#include "storage/sqlite_console.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "rollouts/rollout_rules.h"
#include "storage/sqlite_fleet.h"
#include "storage/sqlite_handles.h"

namespace {

constexpr int ListLimit = 200;

// Runs a query, calling `row` for each result row; false with the error.
template <class Binder, class Row>
bool Each(sqlite3* db, const std::string& sql, Binder bind, Row row, std::string& error) {
    SqliteStatement statement(db, sql);
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return false;
    }
    bind(statement.Get());
    int code = 0;
    while ((code = sqlite3_step(statement.Get())) == SQLITE_ROW) row(statement.Get());
    if (code != SQLITE_DONE) error = sqlite3_errmsg(db);
    return code == SQLITE_DONE;
}

void NoBinding(sqlite3_stmt*) {}

bool Counts(sqlite3* db, const std::string& sql, int64_t since, std::vector<CountRow>& rows, std::string& error) {
    return Each(
        db, sql, [since](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, since); },
        [&rows](sqlite3_stmt* s) {
            rows.push_back(CountRow{ColumnText(s, 0), ColumnText(s, 1), sqlite3_column_int64(s, 2)});
        },
        error);
}

InstallationLine LineOf(sqlite3_stmt* s) {
    return InstallationLine{ColumnText(s, 0), ColumnText(s, 1), ColumnText(s, 2), ColumnText(s, 3), ColumnText(s, 4),
                            ColumnText(s, 5)};
}

// The stage an installation belongs to by its place and host; -1 for none.
int StageOf(const Rollout& rollout, double place, const std::string& hostname) {
    std::string host = hostname;
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t i = 0; i < rollout.settings.stages.size(); ++i) {
        const Stage& stage = rollout.settings.stages[i];
        for (const std::string& pilot : rollout.settings.pilotHosts) {
            if (!host.empty() && host == pilot) return 0;
        }
        if (!stage.pilot && place < stage.percent) return static_cast<int>(i);
    }
    return -1;
}

// How many installations of the product each stage takes in: those on a
// version the release replaces, or already offered it, seen in the last
// 30 days.
bool CountTargeted(sqlite3* db, RolloutView& view, std::string& error) {
    const Rollout& rollout = view.rollout;
    std::set<std::string> offered;
    if (!Each(
            db, "SELECT installation_id FROM rollout_installations WHERE rollout_id = ?1",
            [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, rollout.id); },
            [&](sqlite3_stmt* s) { offered.insert(ColumnText(s, 0)); }, error)) {
        return false;
    }
    const int64_t since = std::time(nullptr) - int64_t{30} * 86400;
    return Each(
        db, "SELECT id, program_version, hostname FROM installations WHERE product = ?1 AND last_seen_unix >= ?2",
        [&](sqlite3_stmt* s) {
            BindText(s, 1, rollout.release.product);
            sqlite3_bind_int64(s, 2, since);
        },
        [&](sqlite3_stmt* s) {
            const std::string id = ColumnText(s, 0);
            if (offered.count(id) == 0 && !IsTargeted(rollout.targeting, ColumnText(s, 1))) return;
            const int stage = StageOf(rollout, PlaceInRollout(id, rollout.release.id), ColumnText(s, 2));
            if (stage >= 0) ++view.stages[static_cast<size_t>(stage)].targeted;
        },
        error);
}

}  // namespace

bool ReadFleetSummary(sqlite3* db, int days, FleetSummary& summary, std::string& error) {
    summary.days = days;
    const int64_t since = std::time(nullptr) - static_cast<int64_t>(days) * 86400;
    summary.installations = SqliteNumber(
        db, "SELECT COUNT(*) FROM installations WHERE last_seen_unix >= " + std::to_string(since), 0);
    return Counts(db,
                  "SELECT product, COALESCE(program_version, ''), COUNT(*) FROM installations"
                  " WHERE last_seen_unix >= ?1 GROUP BY 1, 2 ORDER BY 1, 3 DESC",
                  since, summary.byProductAndVersion, error) &&
           Counts(db,
                  "SELECT COALESCE(agent_version, ''), '', COUNT(*) FROM installations WHERE last_seen_unix >= ?1"
                  " GROUP BY 1 ORDER BY 3 DESC",
                  since, summary.agentVersions, error) &&
           Counts(db,
                  "SELECT COALESCE(windows_version, ''), '', COUNT(*) FROM installations WHERE last_seen_unix >= ?1"
                  " GROUP BY 1 ORDER BY 3 DESC",
                  since, summary.windowsVersions, error) &&
           LoadRollouts(db, summary.rollouts, error);
}

bool ReadRolloutView(sqlite3* db, long long id, RolloutView& view, std::string& error) {
    if (!LoadRollout(db, id, view.rollout, error)) return false;
    for (const Stage& stage : view.rollout.settings.stages) {
        StageFunnel funnel;
        funnel.stage = stage;
        view.stages.push_back(funnel);
    }
    const auto inStage = [&view](sqlite3_stmt* s) -> StageFunnel* {
        const int stage = sqlite3_column_int(s, 0);
        return stage >= 0 && static_cast<size_t>(stage) < view.stages.size() ? &view.stages[static_cast<size_t>(stage)]
                                                                              : nullptr;
    };
    const auto byRollout = [id](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); };
    return CountTargeted(db, view, error) &&
           Each(
               db,
               "SELECT stage, COUNT(*) FILTER (WHERE offers > 0), COUNT(download_started_at),"
               " COUNT(download_completed_at), COUNT(*) FILTER (WHERE ok_ms > 0), COUNT(*) FILTER (WHERE failures > 0),"
               " COUNT(confirmed_at), COUNT(unconfirmed_at) FROM rollout_installations WHERE rollout_id = ?1 GROUP BY stage",
               byRollout,
               [&](sqlite3_stmt* s) {
                   StageFunnel* funnel = inStage(s);
                   if (funnel == nullptr) return;
                   funnel->offered = sqlite3_column_int64(s, 1);
                   funnel->downloadStarted = sqlite3_column_int64(s, 2);
                   funnel->downloaded = sqlite3_column_int64(s, 3);
                   funnel->reportedOk = sqlite3_column_int64(s, 4);
                   funnel->failed = sqlite3_column_int64(s, 5);
                   funnel->confirmed = sqlite3_column_int64(s, 6);
                   funnel->unconfirmed = sqlite3_column_int64(s, 7);
               },
               error) &&
           Each(
               db,
               "SELECT stage, COALESCE(last_step, ''), COALESCE(last_code, 0), COUNT(*) FROM rollout_installations"
               " WHERE rollout_id = ?1 AND failures > 0 GROUP BY 1, 2, 3 ORDER BY 4 DESC",
               byRollout,
               [&](sqlite3_stmt* s) {
                   if (StageFunnel* funnel = inStage(s)) {
                       funnel->failures.push_back(
                           FailureCount{ColumnText(s, 1), sqlite3_column_int64(s, 2), sqlite3_column_int64(s, 3)});
                   }
               },
               error) &&
           Each(
               db, "SELECT at, event, detail FROM rollout_events WHERE rollout_id = ?1 ORDER BY id DESC LIMIT 50",
               byRollout,
               [&](sqlite3_stmt* s) {
                   view.events.push_back(RolloutEvent{ColumnText(s, 0), ColumnText(s, 1), ColumnText(s, 2)});
               },
               error) &&
           Each(
               db,
               "SELECT i.id, i.product, COALESCE(i.hostname, ''), COALESCE(i.program_version, ''), i.last_seen,"
               " CASE WHEN ri.confirmed_at IS NOT NULL THEN 'confirmada'"
               " WHEN ri.unconfirmed_at IS NOT NULL THEN 'OK sin confirmar: sigue en la version anterior'"
               " WHEN ri.ok_ms > 0 THEN 'OK, a la espera de confirmacion'"
               " WHEN ri.failures > 0 THEN 'fallo: ' || COALESCE(ri.last_step, '') || ' ' || COALESCE(ri.last_code, '')"
               " WHEN ri.download_completed_at IS NOT NULL THEN 'descargada'"
               " WHEN ri.download_started_at IS NOT NULL THEN 'descargando' ELSE 'ofrecida' END"
               " FROM rollout_installations ri JOIN installations i ON i.id = ri.installation_id"
               " WHERE ri.rollout_id = ?1 ORDER BY ri.last_offered_at DESC LIMIT " + std::to_string(ListLimit),
               byRollout, [&](sqlite3_stmt* s) { view.installations.push_back(LineOf(s)); }, error);
}

bool ReadFailures(sqlite3* db, std::vector<FailureRow>& rows, std::string& error) {
    return Each(
               db,
               "SELECT r.id, l.product, l.version, COALESCE(ri.last_step, ''), COALESCE(ri.last_code, 0), COUNT(*)"
               " FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id JOIN releases l ON l.id = r.release_id"
               " WHERE ri.failures > 0 GROUP BY 1, 2, 3, 4, 5 ORDER BY 6 DESC",
               NoBinding,
               [&](sqlite3_stmt* s) {
                   rows.push_back(FailureRow{sqlite3_column_int64(s, 0), ColumnText(s, 1), ColumnText(s, 2),
                                             ColumnText(s, 3), sqlite3_column_int64(s, 4), sqlite3_column_int64(s, 5)});
               },
               error) &&
           Each(
               db,
               "SELECT COALESCE(\"Programa\", ''), COALESCE(version_nueva, ''), COALESCE(paso_fallido, ''),"
               " COALESCE(codigo_error, 0), COUNT(*) FROM update_reports WHERE rollout_id IS NULL"
               " AND COALESCE(resultado, '') <> 'OK' GROUP BY 1, 2, 3, 4 ORDER BY 5 DESC LIMIT 100",
               NoBinding,
               [&](sqlite3_stmt* s) {
                   rows.push_back(FailureRow{0, ColumnText(s, 0), ColumnText(s, 1), ColumnText(s, 2),
                                             sqlite3_column_int64(s, 3), sqlite3_column_int64(s, 4)});
               },
               error);
}

bool ReadFailureInstallations(sqlite3* db, long long rolloutId, const std::string& step, long long code,
                              std::vector<InstallationLine>& lines, std::string& error) {
    return Each(
        db,
        "SELECT i.id, i.product, COALESCE(i.hostname, ''), COALESCE(i.program_version, ''), i.last_seen,"
        " ri.failures || ' fallo(s), el ultimo ' || COALESCE(ri.last_outcome_at, '')"
        " FROM rollout_installations ri JOIN installations i ON i.id = ri.installation_id"
        " WHERE ri.rollout_id = ?1 AND ri.failures > 0 AND COALESCE(ri.last_step, '') = ?2"
        " AND COALESCE(ri.last_code, 0) = ?3 ORDER BY ri.last_outcome_unix DESC LIMIT " + std::to_string(ListLimit),
        [&](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 1, rolloutId);
            BindText(s, 2, step);
            sqlite3_bind_int64(s, 3, code);
        },
        [&](sqlite3_stmt* s) { lines.push_back(LineOf(s)); }, error);
}

bool SearchInstallations(sqlite3* db, const std::string& text, std::vector<InstallationLine>& lines,
                         std::string& error) {
    std::string pattern;
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return Each(
        db,
        "SELECT id, product, COALESCE(hostname, ''), COALESCE(program_version, ''), last_seen, '' FROM installations"
        " WHERE hostname LIKE ?1 ESCAPE '\\' OR id = ?2 ORDER BY last_seen_unix DESC LIMIT " + std::to_string(ListLimit),
        [&](sqlite3_stmt* s) {
            BindText(s, 1, "%" + pattern + "%");
            BindText(s, 2, text);
        },
        [&](sqlite3_stmt* s) { lines.push_back(LineOf(s)); }, error);
}

bool ReadInstallationHistory(sqlite3* db, const std::string& id, InstallationHistory& history, std::string& error) {
    using Event = InstallationHistory::Event;
    const auto byId = [&id](sqlite3_stmt* s) { BindText(s, 1, id); };
    if (!Each(
            db,
            "SELECT id, product, COALESCE(hostname, ''), COALESCE(program_version, ''), last_seen,"
            " COALESCE(installed_path, ''), client_address, COALESCE(agent_version, ''),"
            " COALESCE(windows_version, ''), first_seen, checkins FROM installations WHERE id = ?1",
            byId,
            [&](sqlite3_stmt* s) {
                history.found = true;
                history.installation = InstallationLine{ColumnText(s, 0), ColumnText(s, 1), ColumnText(s, 2),
                                                        ColumnText(s, 3), ColumnText(s, 4), ""};
                history.installedPath = ColumnText(s, 5);
                history.clientAddress = ColumnText(s, 6);
                history.agentVersion = ColumnText(s, 7);
                history.windowsVersion = ColumnText(s, 8);
                history.firstSeen = ColumnText(s, 9);
                history.checkIns = sqlite3_column_int64(s, 10);
            },
            error) ||
        !history.found) {
        return false;
    }
    std::vector<Event>& events = history.events;
    const auto add = [&events](const std::string& at, const char* kind, const std::string& summary) {
        events.push_back(Event{at, kind, summary});
    };
    const std::string limit = " LIMIT " + std::to_string(ListLimit);
    const bool read =
        Each(
            db,
            "SELECT received_at, COALESCE(\"Version\", ''), COALESCE(actualizador_version, ''), client_address"
            " FROM checkins WHERE installation_id = ?1 ORDER BY id DESC" + limit,
            byId,
            [&](sqlite3_stmt* s) {
                add(ColumnText(s, 0), "check-in",
                    "version " + ColumnText(s, 1) + ", agente " + ColumnText(s, 2) + ", desde " + ColumnText(s, 3));
            },
            error) &&
        Each(
            db,
            "SELECT ri.first_offered_at, ri.last_offered_at, ri.offers, l.version, r.id, ri.download_started_at,"
            " ri.download_completed_at FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id"
            " JOIN releases l ON l.id = r.release_id WHERE ri.installation_id = ?1",
            byId,
            [&](sqlite3_stmt* s) {
                add(ColumnText(s, 0), "oferta", "version " + ColumnText(s, 3) + " (despliegue " + ColumnText(s, 4) + ")");
                if (sqlite3_column_type(s, 5) != SQLITE_NULL) {
                    add(ColumnText(s, 5), "descarga", "comenzada: version " + ColumnText(s, 3));
                }
                if (sqlite3_column_type(s, 6) != SQLITE_NULL) {
                    add(ColumnText(s, 6), "descarga", "completa: version " + ColumnText(s, 3));
                }
            },
            error) &&
        Each(
            db,
            "SELECT received_at, COALESCE(resultado, ''), COALESCE(version_anterior, ''), COALESCE(version_nueva, ''),"
            " COALESCE(paso_fallido, ''), COALESCE(codigo_error, 0), COALESCE(mensaje_error, '')"
            " FROM update_reports WHERE installation_id = ?1 ORDER BY id DESC" + limit,
            byId,
            [&](sqlite3_stmt* s) {
                std::string text = ColumnText(s, 1) + ": " + ColumnText(s, 2) + " -> " + ColumnText(s, 3);
                if (ColumnText(s, 1) != "OK") {
                    text += ", paso " + ColumnText(s, 4) + ", codigo " + ColumnText(s, 5) + " " + ColumnText(s, 6);
                }
                add(ColumnText(s, 0), "informe", text);
            },
            error) &&
        Each(
            db,
            "SELECT received_at, COALESCE(rtf_url, '') FROM acceptance_reports WHERE client_address = ?1"
            " AND COALESCE(\"Programa\", '') = ?2 ORDER BY id DESC" + limit,
            [&](sqlite3_stmt* s) {
                BindText(s, 1, history.clientAddress);
                BindText(s, 2, history.installation.product);
            },
            [&](sqlite3_stmt* s) {
                add(ColumnText(s, 0), "aceptacion", ColumnText(s, 1) + " (desde la misma direccion)");
            },
            error);
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at > b.at; });
    return read;
}
