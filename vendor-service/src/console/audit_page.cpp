#include "console/audit_page.h"

#include "storage/audit_store.h"

namespace {

ListSpec AuditListSpec() {
    ListSpec spec;
    spec.source = "FROM audit_log";
    spec.columns = {{"id", "Número", "id", CellKind::Number},
                    {"cuando", "Cuándo", "at", CellKind::Time},
                    {"quien", "Quién", "actor"},
                    {"que", "Qué", "action"},
                    {"sobre", "Sobre", "target"},
                    {"detalle", "Detalle", "detail", CellKind::Text, false}};
    size_t count = 0;
    const char* const* actions = AuditActions(count);
    std::vector<std::pair<std::string, std::string>> choices;
    for (size_t i = 0; i < count; ++i) choices.emplace_back(actions[i], actions[i]);
    spec.filters = {{"quien", "Quién", "lower(actor) LIKE ?? ESCAPE '\\'", true, {}},
                    {"que", "Qué", "action = ??", false, choices},
                    {"sobre", "Sobre", "lower(target) LIKE ?? ESCAPE '\\'", true, {}}};
    spec.sort = "id";
    spec.tieBreak = "id";
    spec.noun = "cambios";
    spec.oneNoun = "cambio";
    spec.empty = "Aún no hay cambios registrados.";
    return spec;
}

}  // namespace

bool RouteAudit(const CallPtr& call, const Database& db) {
    if (call->path != "/registro" || call->request.method == "POST") return false;
    const ListSpec spec = AuditListSpec();
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, spec, "registro", request, rows)) return true;
    const std::string body =
        "<p class=\"definicion\">Cada cambio, con quién lo hizo y cuándo: versiones añadidas y paquetes subidos, "
        "despliegues iniciados, pausados, reanudados, avanzados, detenidos y reintentados (también los que decidió "
        "el servicio solo), avisos, operadores y tokens.</p>" + ListOnPage(*call, spec, request, rows);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Registro de cambios"), body)));
    return true;
}
