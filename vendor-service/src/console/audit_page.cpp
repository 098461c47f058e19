#include "console/audit_page.h"

#include "storage/audit_store.h"

namespace {

ListPlan AuditListPlan() {
    ListPlan plan;
    plan.source = "FROM audit_log";
    plan.columns = {{"id", "Número", "id", CellKind::Number},
                    {"cuando", "Cuándo", "at", CellKind::Time},
                    {"quien", "Quién", "actor"},
                    {"que", "Qué", "action"},
                    {"sobre", "Sobre", "target"},
                    {"detalle", "Detalle", "detail", CellKind::Text, false}};
    size_t count = 0;
    const char* const* actions = AuditActions(count);
    std::vector<std::pair<std::string, std::string>> choices;
    for (size_t i = 0; i < count; ++i) choices.emplace_back(actions[i], actions[i]);
    plan.filters = {{"quien", "Quién", "lower(actor) LIKE ?? ESCAPE '\\'", true, {}},
                    {"que", "Qué", "action = ??", false, choices},
                    {"sobre", "Sobre", "lower(target) LIKE ?? ESCAPE '\\'", true, {}}};
    plan.sort = "id";
    plan.tieBreak = "id";
    plan.noun = "cambios";
    plan.oneNoun = "cambio";
    plan.empty = "Aún no hay cambios registrados.";
    return plan;
}

}  // namespace

bool RouteAudit(const CallPtr& call, const Database& db) {
    if (call->path != "/registro" || call->request.method == "POST") return false;
    const ListPlan plan = AuditListPlan();
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "registro", request, rows)) return true;
    const std::string body =
        "<p class=\"definicion\">Cada cambio, con quién lo hizo y cuándo: versiones añadidas y paquetes subidos, "
        "despliegues iniciados, pausados, reanudados, avanzados, detenidos y reintentados (también los que decidió "
        "el servicio solo), avisos, operadores y tokens.</p>" + ListOnPage(*call, plan, request, rows);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Registro de cambios"), body)));
    return true;
}
