#include "console/webhook_pages.h"

#include <ctime>
#include <map>

#include "console/forms.h"
#include "console/spanish_format.h"
#include "routes/routes.h"
#include "storage/audit_store.h"
#include "webhooks/webhook_queue.h"

namespace {

ListPlan DeliveryListPlan() {
    ListPlan plan;
    plan.name = "entregas";
    plan.source = "FROM webhook_deliveries d LEFT JOIN webhooks w ON w.id = d.webhook_id";
    plan.columns = {{"id", "Entrega", "d.id", CellKind::Number},
                    {"cuando", "Cuándo", "d.created_at", CellKind::Time},
                    {"evento", "Evento", "d.event"},
                    {"despliegue", "Despliegue", "d.rollout_id", CellKind::Number},
                    {"aviso", "Receptor", "COALESCE(w.url, '(eliminado)')"},
                    {"estado", "Estado", "d.state"},
                    {"intentos", "Intentos", "d.attempts", CellKind::Number},
                    {"respuesta", "Última respuesta", "d.last_status", CellKind::Number},
                    {"error", "Último error", "d.last_error", CellKind::Text, false},
                    {"entregado", "Entregada", "d.delivered_at", CellKind::Time}};
    plan.filters = {{"estado", "Estado", "d.state = ??", false,
                     {{delivery_state::Pending, "pendiente"},
                      {delivery_state::Delivered, "entregada"},
                      {delivery_state::Failed, "abandonada"}}},
                    {"evento", "Evento", "d.event = ??", false,
                     {{webhook_event::Halted, webhook_event::Halted},
                      {webhook_event::Advanced, webhook_event::Advanced},
                      {webhook_event::Test, webhook_event::Test}}}};
    plan.sort = "id";
    plan.tieBreak = "d.id";
    plan.pageSize = 20;
    plan.noun = "entregas";
    plan.oneNoun = "entrega";
    plan.empty = "Aún no se ha enviado ningún evento.";
    return plan;
}

std::string DeliveryCell(size_t column, const SqlRow& row) {
    if (column == 0) return Link("/panel/avisos/entregas/" + std::to_string(row.Int(0)), std::to_string(row.Int(0)));
    if (column == 3) {
        const long long rollout = row.Int(3);
        return rollout == 0 ? std::string(" ") : Link("/panel/despliegues/" + std::to_string(rollout), std::to_string(rollout));
    }
    if (column == 5) {
        const std::string state = row.Text(5);
        return Html(state == delivery_state::Pending ? "pendiente"
                                                     : (state == delivery_state::Delivered ? "entregada" : "abandonada"));
    }
    if (column == 7) return row.Int(7) == 0 ? std::string(" ") : Html(std::to_string(row.Int(7)));
    return "";
}

ListPlan AttemptListPlan(long long deliveryId) {
    ListPlan plan;
    plan.source = "FROM webhook_attempts";
    plan.where = "delivery_id = ?1";
    plan.parameters = {Int(deliveryId)};
    plan.columns = {{"cuando", "Cuándo", "at", CellKind::Time},
                    {"respuesta", "Respuesta", "status", CellKind::Number},
                    {"error", "Error", "error", CellKind::Text, false},
                    {"ms", "Milisegundos", "ms", CellKind::Number}};
    plan.sort = "cuando";
    plan.tieBreak = "id";
    plan.noun = "intentos";
    plan.oneNoun = "intento";
    return plan;
}

std::vector<FormInput> WebhookForm() {
    return {{"url", "Dirección del receptor", "", "https://...; recibe un POST con el evento en JSON", "text", {}, true},
            {"avanzado", "También cuando una etapa avanza o el despliegue termina", "", "", "checkbox"}};
}

std::string SecretShown(const std::string& secret, long long id) {
    return "<p class=\"aviso\">Secreto del aviso " + std::to_string(id) +
           ". Cópielo ahora: no se volverá a mostrar. Cada evento lleva la cabecera X-Trevanto-Firma: "
           "sha256=&lt;HMAC-SHA256 del cuerpo con este secreto, en hexadecimal&gt;.</p><code class=\"secreto\">" +
           Html(secret) + "</code>";
}

std::string WebhookTable(const Call& call, const std::vector<Webhook>& webhooks) {
    const bool administrator = RoleAllows(call.viewer.role, Permission::Administer) && !call.viewer.token;
    std::vector<std::vector<std::string>> rows;
    for (const Webhook& webhook : webhooks) {
        const std::string base = "/panel/avisos/" + std::to_string(webhook.id);
        std::string actions;
        if (administrator) {
            actions = ActionButton(base + "/probar", "Enviar una prueba", call.viewer.csrf) +
                      ActionButton(base + (webhook.active ? "/desactivar" : "/activar"),
                                   webhook.active ? "Desactivar" : "Activar", call.viewer.csrf) +
                      ActionButton(base + "/secreto", "Nuevo secreto", call.viewer.csrf,
                                   "El secreto actual dejará de valer. ¿Continuar?") +
                      ActionButton(base + "/eliminar", "Eliminar", call.viewer.csrf,
                                   "Las entregas pendientes de este receptor se abandonarán. ¿Eliminar?");
        }
        rows.push_back({Html(std::to_string(webhook.id)), Html(webhook.url), Html(webhook.events),
                        Html(webhook.active ? "activo" : "desactivado"), Html(webhook.createdBy),
                        TimeHtml(webhook.createdAt, *call.zone), actions});
    }
    return Table({"Aviso", "Receptor", "Eventos", "Estado", "Alta por", "Alta", "Acciones"}, rows, {0, 1, 2, 3, 4, 5, 6});
}

void WebhooksPage(const CallPtr& call, const Database& db, const std::string& top, const std::vector<FormInput>* sent,
                  const RequestError& error, int status) {
    const ListPlan plan = DeliveryListPlan();
    ListRequest request;
    ListRows rows;
    if (sent == nullptr && top.empty() && AnswerList(*call, db, plan, "entregas", request, rows)) return;
    if (sent != nullptr || !top.empty()) {
        std::string ignored;
        request = ReadListRequest(plan, "");
        ReadList(db, plan, request, false, rows, ignored);
    }
    std::vector<Webhook> webhooks;
    std::string ignored;
    LoadWebhooks(db, webhooks, ignored);
    std::string body = top;
    body += "<p class=\"definicion\">Cuando un despliegue se detiene (y, si se pide, cuando avanza), el servicio envía "
            "un POST con el evento en JSON a cada receptor activo, firmado con el secreto del receptor "
            "(X-Trevanto-Firma: sha256=HMAC-SHA256 del cuerpo). Si el receptor no responde 2xx se reintenta con "
            "esperas crecientes (de 1 s a 10 min) durante 24 horas; el evento queda en el almacén, así que ni un "
            "reinicio del servicio lo pierde.</p>";
    body += WebhookTable(*call, webhooks);
    if (RoleAllows(call->viewer.role, Permission::Administer) && !call->viewer.token) {
        body += "<h2>Añadir un receptor</h2>" +
                FormHtml("/panel/avisos", call->viewer.csrf, sent != nullptr ? *sent : WebhookForm(), "Añadir", error);
    }
    body += "<h2>Últimos eventos</h2>" + ListOnPage(*call, plan, request, rows, DeliveryCell);
    call->respond(HtmlAnswer(status, Page(FrameOf(*call, db, "Avisos"), body)));
}

void AttemptsPage(const CallPtr& call, const Database& db, long long id) {
    const ListPlan plan = AttemptListPlan(id);
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "entrega-" + std::to_string(id), request, rows)) return;
    const SqlResult body = db.Run("SELECT body FROM webhook_deliveries WHERE id = ?1", {Int(id)});
    if (!body.Ok() || body.rows.empty()) return Trouble(*call, 404, "no existe esa entrega");
    const std::string html = "<p>Cuerpo enviado:</p><code class=\"secreto\">" + Html(body.rows[0].Text(0)) +
                             "</code><h2>Intentos</h2>" + ListOnPage(*call, plan, request, rows);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Entrega " + std::to_string(id)), html)));
}

void Audit(const Database& db, const Call& call, long long id, const std::string& detail) {
    RecordAudit(db, {call.viewer.name, audit_action::WebhookChanged, "aviso " + std::to_string(id), detail},
                std::time(nullptr));
}

void AddOne(const CallPtr& call, const Database& db) {
    Webhook webhook;
    webhook.url = Field(call->request, "url");
    webhook.events = std::string(webhook_event::Halted) +
                     (Field(call->request, "avanzado").empty() ? "" : std::string(",") + webhook_event::Advanced);
    webhook.createdBy = call->viewer.name;
    std::string reason, secret;
    RequestError refusal;
    if (!IsWebhookUrl(webhook.url, reason)) {
        refusal = {"url", reason, false};
    } else if (!AddWebhook(db, webhook, secret, reason)) {
        refusal = {"", reason, false};
    }
    if (!refusal.text.empty()) {
        if (call->api) return Trouble(*call, 400, refusal.text);
        std::vector<FormInput> inputs = WebhookForm();
        KeepValues(inputs, FormOf(call->request));
        return WebhooksPage(call, db, "", &inputs, refusal, 400);
    }
    Audit(db, *call, webhook.id, "añadido: " + webhook.url + " (" + webhook.events + ")");
    if (call->api) {
        return call->respond(
            JsonAnswer(200, "{\"ok\":true,\"id\":" + std::to_string(webhook.id) + ",\"secreto\":\"" + secret + "\"}"));
    }
    WebhooksPage(call, db, SecretShown(secret, webhook.id), nullptr, {}, 200);
}

void Change(const CallPtr& call, const Database& db, long long id, const std::string& action) {
    std::string error, secret;
    bool done = false;
    if (action == "/activar" || action == "/desactivar") done = SetWebhookActive(db, id, action == "/activar", error);
    if (action == "/eliminar") done = RemoveWebhook(db, id, error);
    if (action == "/secreto") done = RenewWebhookSecret(db, id, secret, error);
    if (action == "/probar") done = QueueTestEvent(db, id, call->viewer.name, error);
    if (!done) return Trouble(*call, 404, error.empty() ? "no existe ese aviso" : error);
    if (call->context->webhookWake) call->context->webhookWake();
    const std::map<std::string, std::string> said = {{"/activar", "activado"}, {"/desactivar", "desactivado"},
                                                     {"/eliminar", "eliminado"}, {"/secreto", "secreto nuevo"},
                                                     {"/probar", "prueba enviada"}};
    if (action != "/probar") Audit(db, *call, id, said.at(action));
    if (call->api) {
        return call->respond(JsonAnswer(200, secret.empty() ? "{\"ok\":true}" : "{\"ok\":true,\"secreto\":\"" + secret + "\"}"));
    }
    if (!secret.empty()) return WebhooksPage(call, db, SecretShown(secret, id), nullptr, {}, 200);
    call->respond(Redirect("/panel/avisos?aviso=" + UrlComponent(said.at(action))));
}

}  // namespace

bool RouteWebhooks(const CallPtr& call, const Database& db) {
    Call& c = *call;
    const bool post = c.request.method == "POST";
    std::string rest;
    if (c.path == "/avisos") {
        if (!post) {
            const std::string done = QueryValue(c.request.query, "aviso");
            WebhooksPage(call, db, done.empty() ? "" : NoticeHtml("Aviso: " + done + "."), nullptr, {}, 200);
        } else if (Allowed(c, Permission::Administer)) {
            AddOne(call, db);
        }
        return true;
    }
    if (const long long delivery = IdAfter(c.path, "/avisos/entregas/", rest); delivery != 0 && !post && rest.empty()) {
        AttemptsPage(call, db, delivery);
        return true;
    }
    const long long id = IdAfter(c.path, "/avisos/", rest);
    if (id != 0 && post) {
        if (rest != "/activar" && rest != "/desactivar" && rest != "/eliminar" && rest != "/secreto" && rest != "/probar") {
            return false;
        }
        if (Allowed(c, Permission::Administer)) Change(call, db, id, rest);
        return true;
    }
    return false;
}
