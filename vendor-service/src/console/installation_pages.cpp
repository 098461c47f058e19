#include "console/installation_pages.h"

#include "console/console_json.h"
#include "console/release_pages.h"
#include "console/spanish_format.h"
#include "storage/console_store.h"

namespace {

ListPlan FleetListPlan(const std::vector<std::string>& products) {
    ListPlan plan;
    plan.source = "FROM installations";
    plan.columns = {{"equipo", "Equipo", "COALESCE(hostname, '')"},
                    {"producto", "Producto", "product"},
                    {"version", "Versión del programa", "COALESCE(program_version, '')"},
                    {"agente", "Agente", "COALESCE(agent_version, '')"},
                    {"windows", "Windows", "COALESCE(windows_version, '')"},
                    {"ultimo_checkin", "Último check-in", "last_seen", CellKind::Time},
                    {"primera_vez", "Vista por primera vez", "first_seen", CellKind::Time},
                    {"dias", "Días vista", "days_seen", CellKind::Number},
                    {"checkins", "Check-ins", "checkins", CellKind::Number},
                    {"id", "Identificador", "id", CellKind::Text, false, false}};
    std::vector<std::pair<std::string, std::string>> choices;
    choices.reserve(products.size());
    for (const std::string& product : products) choices.emplace_back(product, product);
    plan.filters = {{"buscar", "Equipo que contiene", "lower(COALESCE(hostname, '')) LIKE ?? ESCAPE '\\'", true, {}},
                    {"id", "Identificador", "id = ??", false, {}},
                    {"producto", "Producto", "product = ??", false, choices},
                    {"version", "Versión", "program_version = ??", false, {}},
                    {"windows", "Windows", "windows_version = ??", false, {}},
                    {"historia", "Historial", "CASE ?? WHEN 'con' THEN days_seen >= 2 ELSE days_seen < 2 END", false,
                     {{"con", "vistas en dos días o más"}, {"sin", "sin historial (un solo día)"}}}};
    plan.sort = "ultimo_checkin";
    plan.tieBreak = "id";
    plan.rowKey = "id";
    plan.noun = "instalaciones";
    plan.oneNoun = "instalación";
    plan.empty = "Ninguna instalación cumple el filtro.";
    return plan;
}

std::string FleetCell(size_t column, const SqlRow& row) {
    if (column == 0) {
        const std::string host = row.Text(0);
        return Link("/panel/instalaciones/" + UrlComponent(row.Text(9)), host.empty() ? row.Text(9) : host);
    }
    if (column == 4) return "<span title=\"" + Html(row.Text(4)) + "\">" + Html(WindowsName(row.Text(4))) + "</span>";
    return "";
}

constexpr char HistorySource[] =
    "FROM (SELECT received_at AS at, 'check-in' AS kind, 'versión ' || COALESCE(\"Version\", '') || ', agente ' ||"
    " COALESCE(actualizador_version, '') || ', desde ' || client_address AS detail, 0 AS rollout FROM checkins"
    " WHERE installation_id = ?1"
    " UNION ALL SELECT ri.first_offered_at, 'oferta', 'versión ' || l.version, ri.rollout_id"
    " FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id JOIN releases l ON l.id = r.release_id"
    " WHERE ri.installation_id = ?1"
    " UNION ALL SELECT download_started_at, 'descarga', 'comenzada', rollout_id FROM rollout_installations"
    " WHERE installation_id = ?1 AND download_started_at IS NOT NULL"
    " UNION ALL SELECT download_completed_at, 'descarga', 'completa', rollout_id FROM rollout_installations"
    " WHERE installation_id = ?1 AND download_completed_at IS NOT NULL"
    " UNION ALL SELECT received_at, 'informe', COALESCE(resultado, '') || ': ' || COALESCE(version_anterior, '') ||"
    " ' → ' || COALESCE(version_nueva, '') || CASE WHEN COALESCE(resultado, '') <> 'OK' THEN ', paso ' ||"
    " COALESCE(paso_fallido, '') || ', código ' || CAST(COALESCE(codigo_error, 0) AS TEXT) || ' ' ||"
    " COALESCE(mensaje_error, '') ELSE '' END, COALESCE(rollout_id, 0) FROM update_reports WHERE installation_id = ?1"
    " UNION ALL SELECT received_at, 'aceptación', COALESCE(rtf_url, ''), 0 FROM acceptance_reports"
    " WHERE installation_id = ?1) e";

ListPlan HistoryPlan(const std::string& id) {
    ListPlan plan;
    plan.name = "historia";
    plan.source = HistorySource;
    plan.parameters = {Text(id)};
    plan.columns = {{"cuando", "Cuándo", "e.at", CellKind::Time},
                    {"que", "Qué", "e.kind"},
                    {"detalle", "Detalle", "e.detail", CellKind::Text, false},
                    {"despliegue", "Despliegue", "e.rollout", CellKind::Number}};
    plan.filters = {{"que", "Qué", "e.kind = ??", false,
                     {{"check-in", "check-in"}, {"oferta", "oferta"}, {"descarga", "descarga"},
                      {"informe", "informe"}, {"aceptación", "aceptación"}}}};
    plan.sort = "cuando";
    plan.tieBreak = "e.kind, e.detail";
    plan.noun = "sucesos";
    plan.oneNoun = "suceso";
    return plan;
}

std::string HistoryCell(size_t column, const SqlRow& row) {
    if (column != 3) return "";
    const long long rollout = row.Int(3);
    return rollout == 0 ? std::string(" ") : Link("/panel/despliegues/" + std::to_string(rollout), std::to_string(rollout));
}

void FleetPage(const CallPtr& call, const Database& db) {
    const ListPlan plan = FleetListPlan(ReleaseProducts(db));
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "instalaciones", request, rows)) return;
    const std::string search = QueryValue(call->request.query, "buscar");
    std::string body;
    if (!search.empty()) body += "<h2>" + Html("Equipos que contienen " + search) + "</h2>";
    body += ListOnPage(*call, plan, request, rows, FleetCell);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Instalaciones"), body)));
}

void InstallationPage(const CallPtr& call, const Database& db, const std::string& id) {
    InstallationFacts facts;
    std::string error;
    if (!ReadInstallationFacts(db, id, facts, error)) return Trouble(*call, 404, "no existe esa instalación");
    if (call->api) return call->respond(JsonAnswer(200, InstallationJson(facts)));
    const ListPlan plan = HistoryPlan(id);
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "instalacion-historia", request, rows)) return;
    const TimeZone& zone = *call->zone;
    const std::string windows = WindowsName(facts.windowsVersion);
    const std::vector<std::vector<std::string>> table = {
        {"Equipo", Html(facts.hostname)},
        {"Producto", Html(facts.product)},
        {"Versión del programa", Html(facts.programVersion)},
        {"Ruta", Html(facts.installedPath)},
        {"Agente", Html(facts.agentVersion)},
        {"Windows", Html(windows == facts.windowsVersion ? windows : windows + " (" + facts.windowsVersion + ")")},
        {"Dirección", Html(facts.clientAddress)},
        {"Vista por primera vez", TimeHtml(facts.firstSeen, zone)},
        {"Último check-in", TimeHtml(facts.lastSeen, zone)},
        {"Check-ins", Html(SpanishCount(facts.checkIns))},
        {"Días vista", Html(SpanishCount(facts.daysSeen))},
        {"Identificador", Html(facts.id)}};
    const std::string body = Table({"Dato", "Valor"}, table, {1}) + "<h2>Historia</h2>" +
                             ListOnPage(*call, plan, request, rows, HistoryCell);
    const std::string title = "Instalación " + (facts.hostname.empty() ? id : facts.hostname);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, title), body)));
}

}  // namespace

bool RouteInstallations(const CallPtr& call, const Database& db) {
    if (call->request.method == "POST") return false;
    if (call->path == "/instalaciones") {
        FleetPage(call, db);
        return true;
    }
    if (call->path.rfind("/instalaciones/", 0) == 0) {
        InstallationPage(call, db, call->path.substr(15));
        return true;
    }
    return false;
}
