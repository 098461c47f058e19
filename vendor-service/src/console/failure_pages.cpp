#include "console/failure_pages.h"

#include "console/spanish_format.h"

namespace {

// Failed installations of every rollout by step and code, and the 20
// largest groups of failed reports that name no offer of ours among the
// last 100,000 reports (anyone can send those: they count nowhere, and
// reading them is bounded here whatever the store holds).
constexpr char FailureGroups[] =
    "FROM (SELECT r.id AS rollout, l.product AS product, l.version AS version, COALESCE(ri.last_step, '') AS step,"
    " COALESCE(ri.last_code, 0) AS code, COUNT(*) AS affected, 'instalaciones' AS kind"
    " FROM rollout_installations ri JOIN rollouts r ON r.id = ri.rollout_id JOIN releases l ON l.id = r.release_id"
    " WHERE ri.failures > 0 GROUP BY 1, 2, 3, 4, 5"
    " UNION ALL SELECT * FROM (SELECT 0, COALESCE(\"Programa\", ''), COALESCE(version_nueva, ''),"
    " COALESCE(paso_fallido, ''), COALESCE(codigo_error, 0), COUNT(*), 'informes' FROM update_reports"
    " WHERE rollout_id IS NULL AND COALESCE(resultado, '') <> 'OK'"
    " AND id > (SELECT COALESCE(MAX(id), 0) FROM update_reports) - 100000"
    " GROUP BY 2, 3, 4, 5 ORDER BY 6 DESC LIMIT 20) u) g";

ListPlan FailureListPlan() {
    ListPlan plan;
    plan.source = FailureGroups;
    plan.columns = {{"despliegue", "Despliegue", "g.rollout", CellKind::Number},
                    {"producto", "Producto", "g.product"},
                    {"version", "Versión", "g.version"},
                    {"paso", "Paso", "g.step"},
                    {"codigo", "Código", "g.code", CellKind::Number},
                    {"afectadas", "Afectadas", "g.affected", CellKind::Number},
                    {"clase", "Cuentan", "g.kind"}};
    plan.filters = {{"producto", "Producto", "g.product = ??", false, {}},
                    {"paso", "Paso", "g.step = ??", false, {}},
                    {"clase", "Clase", "g.kind = ??", false,
                     {{"instalaciones", "de un despliegue (instalaciones)"}, {"informes", "sin oferta (informes)"}}}};
    plan.sort = "afectadas";
    plan.tieBreak = "g.rollout, g.step, g.code";
    plan.noun = "grupos de fallos";
    plan.oneNoun = "grupo de fallos";
    plan.empty = "Ningún fallo.";
    return plan;
}

std::string FailureCell(size_t column, const SqlRow& row) {
    const long long rollout = row.Int(0);
    if (column == 0) {
        return rollout == 0 ? Html("(sin oferta)")
                            : Link("/panel/despliegues/" + std::to_string(rollout), std::to_string(rollout));
    }
    if (column == 4) return Html(std::to_string(row.Int(4)));  // a code is a code: no thousands
    if (column == 5) {
        if (rollout == 0) return Html(Counted(row.Int(5), "informe", "informes"));
        return Link("/panel/fallos/instalaciones?despliegue=" + std::to_string(rollout) + "&paso=" +
                        UrlComponent(row.Text(3)) + "&codigo=" + std::to_string(row.Int(4)),
                    Counted(row.Int(5), "instalación", "instalaciones"));
    }
    if (column == 6) return Html(rollout == 0 ? "no: sin oferta" : "sí");
    return "";
}

void FailuresPage(const CallPtr& call, const Database& db) {
    const ListPlan plan = FailureListPlan();
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "fallos", request, rows)) return;
    const std::string body =
        "<p class=\"definicion\">Las instalaciones que fallaron en cada despliegue, por versión, paso y código de "
        "error (cada una en el grupo de su último fallo). Los informes fallidos que no nombran una oferta nuestra "
        "(sin despliegue) no cuentan en ninguno: cualquiera puede enviarlos, y solo se muestran sus 20 grupos "
        "mayores entre los últimos 100.000 informes.</p>" + ListOnPage(*call, plan, request, rows, FailureCell);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Fallos por paso y código"), body)));
}

ListPlan FailedInstallationsPlan(bool byRelease, long long id, const std::string& step, long long code) {
    ListPlan plan;
    plan.source = "FROM rollout_installations ri JOIN installations i ON i.id = ri.installation_id"
                  " JOIN rollouts r ON r.id = ri.rollout_id";
    plan.where = std::string(byRelease ? "r.release_id = ?1" : "ri.rollout_id = ?1") +
                 " AND ri.failures > 0 AND COALESCE(ri.last_step, '') = ?2 AND COALESCE(ri.last_code, 0) = ?3";
    plan.parameters = {Int(id), Text(step), Int(code)};
    plan.columns = {{"equipo", "Equipo", "COALESCE(i.hostname, '')"},
                    {"producto", "Producto", "i.product"},
                    {"version", "Versión del programa", "COALESCE(i.program_version, '')"},
                    {"despliegue", "Despliegue", "ri.rollout_id", CellKind::Number},
                    {"fallos", "Informes fallidos", "ri.failures", CellKind::Number},
                    {"ultimo_resultado", "Último resultado", "ri.last_outcome_at", CellKind::Time},
                    {"ultimo_checkin", "Último check-in", "i.last_seen", CellKind::Time},
                    {"id", "Identificador", "i.id", CellKind::Text, false, false}};
    plan.filters = {{"equipo", "Equipo", "lower(COALESCE(i.hostname, '')) LIKE ?? ESCAPE '\\'", true, {}}};
    plan.sort = "ultimo_resultado";
    plan.tieBreak = "ri.installation_id";
    if (!byRelease) plan.rowKey = "ri.installation_id";  // by release, one installation may fail in two rollouts
    plan.noun = "instalaciones";
    plan.oneNoun = "instalación";
    return plan;
}

std::string FailedCell(size_t column, const SqlRow& row) {
    if (column == 0) {
        const std::string host = row.Text(0);
        return Link("/panel/instalaciones/" + UrlComponent(row.Text(7)), host.empty() ? row.Text(7) : host);
    }
    if (column == 3) return Link("/panel/despliegues/" + std::to_string(row.Int(3)), std::to_string(row.Int(3)));
    return "";
}

void FailedInstallationsPage(const CallPtr& call, const Database& db) {
    const std::string& query = call->request.query;
    std::string rest;
    const bool byRelease = !QueryValue(query, "version").empty();
    const long long id = IdAfter("/" + QueryValue(query, byRelease ? "version" : "despliegue"), "/", rest);
    const std::string step = QueryValue(query, "paso");
    const std::string codeText = QueryValue(query, "codigo");
    const long long code = codeText.size() <= 11 ? std::strtoll(codeText.c_str(), nullptr, 10) : 0;
    const ListPlan plan = FailedInstallationsPlan(byRelease, id, step, code);
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "instalaciones-con-fallo", request, rows)) return;
    const std::string heading = (byRelease ? "Versión " : "Despliegue ") + std::to_string(id) + ", paso " +
                                (step.empty() ? "(sin paso)" : step) + ", código " + std::to_string(code);
    const std::string body = "<h2>" + Html(heading) + "</h2>" + ListOnPage(*call, plan, request, rows, FailedCell);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Instalaciones con un fallo"), body)));
}

}  // namespace

bool RouteFailures(const CallPtr& call, const Database& db) {
    if (call->request.method != "GET" && call->request.method != "HEAD") return false;
    if (call->path == "/fallos") {
        FailuresPage(call, db);
        return true;
    }
    if (call->path == "/fallos/instalaciones") {
        FailedInstallationsPage(call, db);
        return true;
    }
    return false;
}
