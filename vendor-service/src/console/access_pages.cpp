#include "console/access_pages.h"

#include <ctime>

#include "console/accounts.h"
#include "console/forms.h"
#include "console/password_policy.h"
#include "storage/audit_store.h"

namespace {

const std::vector<std::pair<std::string, std::string>>& RoleChoices() {
    static const std::vector<std::pair<std::string, std::string>> choices = {
        {console_role::Reader, "lectura: ve todo, no cambia nada"},
        {console_role::Operator, "operador: publica versiones y lleva despliegues"},
        {console_role::Administrator, "administrador: además avisos, operadores y tokens"}};
    return choices;
}

const std::vector<std::pair<std::string, std::string>>& ScopeChoices() {
    static const std::vector<std::pair<std::string, std::string>> choices = {
        {console_role::Reader, "lectura: solo lee /panel/api/"},
        {console_role::Publisher, "publicar: además añade versiones y sube paquetes"},
        {console_role::Operator, "operador: además lleva despliegues"}};
    return choices;
}

std::vector<FormInput> OperatorForm() {
    return {{"nombre", "Nombre", "", "letras, cifras, '.', '_' y '-'", "text", {}, true},
            {"clave", "Clave", "", "12 caracteres o más, no de las más usadas", "password", {}, true},
            {"rol", "Rol", console_role::Operator, "", "select", RoleChoices(), true}};
}

std::vector<FormInput> TokenForm() {
    return {{"nombre", "Nombre", "", "quién lo usa: «integración continua»", "text", {}, true},
            {"alcance", "Alcance", console_role::Publisher, "", "select", ScopeChoices(), true}};
}

ListPlan TokenListPlan() {
    ListPlan plan;
    plan.name = "tokens";
    plan.source = "FROM api_tokens";
    plan.columns = {{"id", "Token", "id", CellKind::Number},
                    {"nombre", "Nombre", "name"},
                    {"alcance", "Alcance", "scope"},
                    {"alta_por", "Alta por", "created_by"},
                    {"alta", "Alta", "created_at", CellKind::Time},
                    {"ultimo_uso", "Último uso", "last_used_at", CellKind::Time},
                    {"revocado", "Revocado", "revoked_at", CellKind::Time}};
    plan.filters = {{"vigente", "Vigencia", "CASE ?? WHEN 'si' THEN revoked_at IS NULL ELSE revoked_at IS NOT NULL END",
                     false, {{"si", "vigentes"}, {"no", "revocados"}}}};
    plan.sort = "id";
    plan.tieBreak = "id";
    plan.noun = "tokens";
    plan.oneNoun = "token";
    plan.empty = "Aún no hay tokens.";
    return plan;
}

std::string OperatorTable(const Call& call, const Database& db) {
    const SqlResult result = db.Run("SELECT name, role FROM operators ORDER BY name");
    std::vector<std::vector<std::string>> rows;
    for (const SqlRow& row : result.rows) {
        const std::string base = "/panel/accesos/operadores/" + UrlComponent(row.Text(0));
        std::string role = "<form method=\"post\" action=\"" + Html(base) + "/rol\" class=\"accion\">"
                           "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(call.viewer.csrf) +
                           "\"><select name=\"rol\" aria-label=\"Rol de " + Html(row.Text(0)) + "\">";
        for (const auto& [value, label] : RoleChoices()) {
            role += "<option value=\"" + Html(value) + "\"" + (value == row.Text(1) ? " selected" : "") + ">" +
                    Html(value) + "</option>";
        }
        role += "</select><button type=\"submit\">Cambiar</button></form>";
        const std::string remove =
            row.Text(0) == call.viewer.name
                ? std::string("(usted)")
                : ActionButton(base + "/eliminar", "Eliminar", call.viewer.csrf,
                               "Se cerrarán sus sesiones y no podrá entrar. ¿Eliminar?");
        rows.push_back({Html(row.Text(0)), role, remove});
    }
    return Table({"Operador", "Rol", "Acciones"}, rows, {0, 1, 2});
}

void AccessPage(const CallPtr& call, const Database& db, const std::string& top, const std::vector<FormInput>* operatorSent,
                const std::vector<FormInput>* tokenSent, const RequestError& operatorError,
                const RequestError& tokenError, int status) {
    const ListPlan tokens = TokenListPlan();
    ListRequest request;
    ListRows rows;
    if (top.empty() && operatorSent == nullptr && tokenSent == nullptr &&
        AnswerList(*call, db, tokens, "tokens", request, rows)) {
        return;
    }
    if (!top.empty() || operatorSent != nullptr || tokenSent != nullptr) {
        std::string ignored;
        request = ReadListRequest(tokens, "");
        ReadList(db, tokens, request, false, rows, ignored);
    }
    std::string body = top + "<h2>Operadores</h2>" + OperatorTable(*call, db);
    body += "<h3>Añadir un operador</h3>" + FormHtml("/panel/accesos/operadores", call->viewer.csrf,
                                                     operatorSent ? *operatorSent : OperatorForm(), "Añadir",
                                                     operatorError);
    body += "<h2>Tokens de API</h2><p class=\"definicion\">Para scripts y canales de publicación: cabecera "
            "<code>Authorization: Bearer &lt;token&gt;</code> en /panel/api/, sin sesión ni CSRF. Su alcance limita "
            "lo que puede hacer; uno revocado no abre nada.</p>" +
            ListOnPage(*call, tokens, request, rows, [call](size_t column, const SqlRow& row) -> std::string {
                if (column != 6 || !row.IsNull(6)) return "";
                return ActionButton("/panel/accesos/tokens/" + std::to_string(row.Int(0)) + "/revocar", "Revocar",
                                    call->viewer.csrf, "Dejará de abrir /panel/api/. ¿Revocar?");
            });
    body += "<h3>Crear un token</h3>" + FormHtml("/panel/accesos/tokens", call->viewer.csrf,
                                                 tokenSent ? *tokenSent : TokenForm(), "Crear", tokenError);
    call->respond(HtmlAnswer(status, Page(FrameOf(*call, db, "Accesos"), body)));
}

void Audit(const Database& db, const Call& call, const char* action, const std::string& target,
           const std::string& detail) {
    RecordAudit(db, {call.viewer.name, action, target, detail}, std::time(nullptr));
}

void AddOperator(const CallPtr& call, const Database& db) {
    const std::string name = Field(call->request, "nombre");
    const std::string password = Field(call->request, "clave");
    const std::string role = Field(call->request, "rol");
    std::string reason;
    RequestError refusal;
    if (!IsOperatorName(name)) {
        refusal = {"nombre", "el nombre es de letras, cifras, '.', '_' y '-' (de 1 a 64)", false};
    } else if (!IsRole(role)) {
        refusal = {"rol", "elija un rol de la lista", false};
    } else if (!AcceptablePassword(password, name, reason)) {
        refusal = {"clave", "la clave no vale: " + reason, false};
    } else if (!db.Run("SELECT 1 FROM operators WHERE name = ?1", {Text(name)}).rows.empty()) {
        refusal = {"nombre", "ya hay un operador " + name, false};
    } else if (!SaveOperator(db, name, password, reason, false, role)) {
        refusal = {"", reason, false};
    }
    if (!refusal.text.empty()) {
        if (call->api) return Trouble(*call, 400, refusal.text);
        std::vector<FormInput> inputs = OperatorForm();
        KeepValues(inputs, FormOf(call->request));
        return AccessPage(call, db, "", &inputs, nullptr, refusal, {}, 400);
    }
    Audit(db, *call, audit_action::OperatorChanged, "operador " + name, "añadido con el rol " + role);
    if (call->api) return call->respond(JsonAnswer(200, "{\"ok\":true}"));
    call->respond(Redirect("/panel/accesos?aviso=operador"));
}

void ChangeOperator(const CallPtr& call, const Database& db, const std::string& name, const std::string& action) {
    std::string error;
    bool done = false;
    std::string detail;
    if (action == "rol") {
        const std::string role = Field(call->request, "rol");
        if (!IsRole(role)) return Trouble(*call, 400, "elija un rol de la lista");
        if (name == call->viewer.name && role != console_role::Administrator) {
            return Trouble(*call, 409, "un administrador no puede quitarse a sí mismo el rol");
        }
        done = SetOperatorRole(db, name, role, error);
        detail = "rol " + role;
    } else {
        if (name == call->viewer.name) return Trouble(*call, 409, "un administrador no puede eliminarse a sí mismo");
        done = RemoveOperator(db, name, error);
        detail = "eliminado; sus sesiones, cerradas";
    }
    if (!done) return Trouble(*call, 404, "no existe el operador " + name);
    Audit(db, *call, audit_action::OperatorChanged, "operador " + name, detail);
    if (call->api) return call->respond(JsonAnswer(200, "{\"ok\":true}"));
    call->respond(Redirect("/panel/accesos?aviso=operador"));
}

void AddToken(const CallPtr& call, const Database& db) {
    const std::string name = Field(call->request, "nombre");
    const std::string scope = Field(call->request, "alcance");
    RequestError refusal;
    std::string token, error;
    long long id = 0;
    if (name.empty() || name.size() > 64) {
        refusal = {"nombre", "dé un nombre de 1 a 64 caracteres", false};
    } else if (!IsTokenScope(scope)) {
        refusal = {"alcance", "elija un alcance de la lista", false};
    } else if (!CreateToken(db, name, scope, call->viewer.name, token, id, error)) {
        refusal = {"", error, false};
    }
    if (!refusal.text.empty()) {
        if (call->api) return Trouble(*call, 400, refusal.text);
        std::vector<FormInput> inputs = TokenForm();
        KeepValues(inputs, FormOf(call->request));
        return AccessPage(call, db, "", nullptr, &inputs, {}, refusal, 400);
    }
    Audit(db, *call, audit_action::TokenChanged, "token " + std::to_string(id), "creado «" + name + "», alcance " + scope);
    const std::string shown = "<p class=\"aviso\">Token «" + Html(name) + "» (" + Html(scope) +
                              "). Cópielo ahora: no se volverá a mostrar.</p><code class=\"secreto\">" + Html(token) +
                              "</code>";
    AccessPage(call, db, shown, nullptr, nullptr, {}, {}, 200);
}

void Revoke(const CallPtr& call, const Database& db, long long id) {
    std::string error;
    if (!RevokeToken(db, id, error)) return Trouble(*call, 404, error);
    Audit(db, *call, audit_action::TokenChanged, "token " + std::to_string(id), "revocado");
    if (call->api) return call->respond(JsonAnswer(200, "{\"ok\":true}"));
    call->respond(Redirect("/panel/accesos?aviso=token"));
}

}  // namespace

bool RouteAccess(const CallPtr& call, const Database& db) {
    Call& c = *call;
    if (c.path.rfind("/accesos", 0) != 0) return false;
    if (!Allowed(c, Permission::Administer)) return true;
    if (c.viewer.token) {
        Trouble(c, 403, "los tokens de API no administran accesos");
        return true;
    }
    const bool post = c.request.method == "POST";
    std::string rest;
    if (c.path == "/accesos" && !post) {
        const std::string done = QueryValue(c.request.query, "aviso");
        AccessPage(call, db, done.empty() ? "" : NoticeHtml("Cambio guardado."), nullptr, nullptr, {}, {}, 200);
    } else if (c.path == "/accesos/operadores" && post) {
        AddOperator(call, db);
    } else if (c.path == "/accesos/tokens" && post) {
        AddToken(call, db);
    } else if (const long long id = IdAfter(c.path, "/accesos/tokens/", rest); id != 0 && post && rest == "/revocar") {
        Revoke(call, db, id);
    } else if (c.path.rfind("/accesos/operadores/", 0) == 0 && post) {
        const std::string tail = c.path.substr(20);
        const size_t slash = tail.find('/');
        const std::string action = slash == std::string::npos ? "" : tail.substr(slash + 1);
        if (action != "rol" && action != "eliminar") return false;
        ChangeOperator(call, db, tail.substr(0, slash), action);
    } else {
        return false;
    }
    return true;
}
