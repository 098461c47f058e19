#include "console/summary_page.h"

#include <ctime>

#include "console/console_json.h"
#include "console/release_pages.h"
#include "console/rollout_pages.h"
#include "console/spanish_format.h"
#include "storage/console_store.h"
#include "storage/stored_time.h"

namespace {

constexpr char LastDay[] =
    "SELECT COALESCE(SUM(oks), 0), COALESCE(SUM(failures), 0) FROM rollout_hours WHERE hour >= ?1";

std::string CountTable(const std::string& first, const std::string& second, const std::vector<CountRow>& rows,
                       bool windows = false) {
    std::vector<std::vector<std::string>> cells;
    for (const CountRow& row : rows) {
        std::string name = row.first.empty() ? "(sin dato)" : row.first;
        if (windows && !row.first.empty()) {
            const std::string known = WindowsName(row.first);
            name = known == row.first ? row.first : known + " (" + row.first + ")";
        }
        if (second.empty()) {
            cells.push_back({name, SpanishCount(row.count)});
        } else {
            cells.push_back({name, row.second.empty() ? "(sin dato)" : row.second, SpanishCount(row.count)});
        }
    }
    std::vector<std::string> headings = {first};
    if (!second.empty()) headings.push_back(second);
    headings.emplace_back("Instalaciones");
    return Table(headings, cells, {}, {headings.size() - 1});
}

std::string Figure(const std::string& label, const std::string& value, const std::string& detail, bool bad = false) {
    return std::string("<div class=\"cifra") + (bad ? " mala" : "") + "\">" + Html(label) + "<strong>" + Html(value) +
           "</strong>" + Html(detail) + "</div>";
}

ListPlan ChangesPlan() {
    ListPlan plan;
    plan.name = "cambios";
    plan.source = "FROM audit_log";
    plan.where = "at >= ?1";
    plan.parameters = {Text("")};
    plan.columns = {{"cuando", "Cuándo", "at", CellKind::Time},
                    {"quien", "Quién", "actor"},
                    {"que", "Qué", "action"},
                    {"sobre", "Sobre", "target"},
                    {"detalle", "Detalle", "detail", CellKind::Text, false}};
    plan.sort = "cuando";
    plan.tieBreak = "id";
    plan.pageSize = 10;
    plan.noun = "cambios";
    plan.oneNoun = "cambio";
    plan.empty = "Nada cambió en las últimas 24 horas.";
    return plan;
}

void SummaryPage(const CallPtr& call, const Database& db) {
    FleetSummary summary;
    std::string error;
    if (!ReadFleetSummary(db, 30, summary, error)) return Trouble(*call, 500, "no se pudo leer el almacén");
    if (call->api) return call->respond(JsonAnswer(200, SummaryJson(summary)));
    const int64_t now = std::time(nullptr);
    ListPlan changes = ChangesPlan();
    changes.parameters = {Text(UtcText(now - 86400))};
    ListPlan rollouts = RolloutListPlan("despliegues", ReleaseProducts(db));
    rollouts.pageSize = 10;
    ListRequest changesRequest, rolloutsRequest;
    ListRows changesRows, rolloutsRows;
    if (AnswerList(*call, db, changes, "cambios", changesRequest, changesRows) ||
        AnswerList(*call, db, rollouts, "despliegues", rolloutsRequest, rolloutsRows)) {
        return;
    }
    const SqlResult day = db.Run(LastDay, {Int(now / 3600 - 24)});
    const long long oks = day.Ok() && !day.rows.empty() ? day.rows[0].Int(0) : 0;
    const long long failures = day.Ok() && !day.rows.empty() ? day.rows[0].Int(1) : 0;
    std::string body = "<div class=\"cifras\">" +
                       Figure("Instalaciones con historial", SpanishCount(summary.installations),
                              "vistas en dos días distintos o más, y en los últimos " +
                                  SpanishCount(summary.days) + " días") +
                       Figure("Sin historial", SpanishCount(summary.withoutHistory),
                              "vistas un solo día (entre ellas, las que cualquiera puede inventar); no entran en las "
                              "tablas") +
                       Figure("Últimas 24 horas: informes OK", SpanishCount(oks), "de los despliegues") +
                       Figure("Últimas 24 horas: informes fallidos", SpanishCount(failures), "de los despliegues",
                              failures > 0) +
                       "</div>";
    body += "<p>Instalaciones vistas en los últimos " + SpanishCount(summary.days) + " días: <strong>" +
            SpanishCount(summary.installations) + "</strong></p>";
    body += "<h2>Despliegues</h2>" + ListOnPage(*call, rollouts, rolloutsRequest, rolloutsRows, RolloutCell);
    body += "<h2>Cambios de las últimas 24 horas</h2>" + ListOnPage(*call, changes, changesRequest, changesRows);
    body += "<h2>Por producto y versión del programa</h2>" +
            CountTable("Producto", "Versión", summary.byProductAndVersion);
    body += "<h2>Versiones del agente</h2>" + CountTable("Agente", "", summary.agentVersions);
    body += "<h2>Versiones de Windows</h2>" + CountTable("Windows", "", summary.windowsVersions, true);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Resumen de la flota"), body)));
}

void AlertsAnswer(const CallPtr& call, const Database& db) {
    const PageFrame frame = FrameOf(*call, db, "");
    call->respond(JsonAnswer(200, HaltAlertsJson(frame.halts)));
}

}  // namespace

bool RouteSummary(const CallPtr& call, const Database& db) {
    if (call->request.method == "POST") return false;
    if (call->path == "/resumen" || call->path == "/") {
        SummaryPage(call, db);
        return true;
    }
    if (call->path == "/alertas") {
        AlertsAnswer(call, db);
        return true;
    }
    return false;
}
