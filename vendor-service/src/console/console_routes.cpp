#include "console/console_routes.h"

#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>

#include "console/accounts.h"
#include "console/console_json.h"
#include "console/password_policy.h"
#include "console/pages.h"
#include "rollouts/fleet_requests.h"
#include "routes/agent_api.h"
#include "routes/routes.h"
#include "storage/console_store.h"
#include "storage/fleet_store.h"

namespace {

constexpr char SessionCookie[] = "panel_sesion";
constexpr char LoginCookie[] = "panel_entrada";  // the login form's CSRF token (double submit)
constexpr int SessionHours = 12;
constexpr size_t MaxFormBytes = size_t{64} * 1024;  // the console's forms and JSON bodies

constexpr char SecurityPolicy[] =
    "default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self'; form-action 'self';"
    " frame-ancestors 'none'; base-uri 'none'";

// What a console request knows once its session is found.
struct Call {
    ServiceContext* context = nullptr;
    Request request;
    Respond respond;
    bool api = false;
    std::string path;  // without "/panel" or "/panel/api"
    Session session;
};

void Secure(Response& response) {
    response.headers.push_back({"Cache-Control", "no-store"});
    response.headers.push_back({"X-Content-Type-Options", "nosniff"});
    response.headers.push_back({"X-Frame-Options", "DENY"});
    response.headers.push_back({"Referrer-Policy", "no-referrer"});
    response.headers.push_back({"Content-Security-Policy", SecurityPolicy});
}

Response HtmlAnswer(int status, std::string body) {
    Response response;
    response.status = status;
    response.headers.push_back({"Content-Type", "text/html; charset=utf-8"});
    response.body = std::move(body);
    Secure(response);
    return response;
}

Response JsonAnswer(int status, std::string body) {
    Response response = JsonResponse(status, std::move(body));
    Secure(response);
    return response;
}

Response Redirect(const std::string& to) {
    Response response;
    response.status = 303;
    response.headers.push_back({"Location", to});
    Secure(response);
    return response;
}

std::string CookieHeader(const std::string& name, const std::string& value, int maxAge) {
    return name + "=" + value + "; Path=/panel/; HttpOnly; Secure; SameSite=Strict; Max-Age=" + std::to_string(maxAge);
}

PageFrame FrameOf(const Call& call, const std::string& title) {
    return PageFrame{title, call.session.operatorName, call.session.csrf};
}

// A form field of the body (application/x-www-form-urlencoded).
std::string Field(const Request& request, const std::string& name) {
    return QueryValue(request.body, name);
}

// The answer to a request that could not be served.
Response Trouble(const Call& call, int status, const std::string& text) {
    if (call.api) return JsonAnswer(status, ErrorResponse(status, text).body);
    return HtmlAnswer(status, MessagePage(FrameOf(call, "Aviso"), text));
}

// An id after a prefix ("/despliegues/7" gives 7); 0 when there is none.
long long IdAfter(const std::string& path, const std::string& prefix, std::string& rest) {
    if (path.rfind(prefix, 0) != 0) return 0;
    const std::string tail = path.substr(prefix.size());
    const size_t slash = tail.find('/');
    const std::string digits = tail.substr(0, slash);
    rest = slash == std::string::npos ? std::string() : tail.substr(slash);
    if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::strtoll(digits.c_str(), nullptr, 10);
}

std::string Notice(const std::string& code) {
    if (code == "pausar") return "Despliegue pausado.";
    if (code == "reanudar") return "Despliegue reanudado.";
    if (code == "avanzar") return "El despliegue paso a la siguiente etapa.";
    if (code == "detener") return "Despliegue detenido.";
    if (code == "iniciado") return "Despliegue iniciado.";
    if (code == "version") return "Version anadida.";
    if (code == "rechazado") return "El despliegue no admite esa accion en su estado.";
    return std::string();
}

// ---- pages that read -----------------------------------------------------

void Summary(Call& call, const Database& db) {
    FleetSummary summary;
    std::string error;
    if (!ReadFleetSummary(db, 30, summary, error))
        return call.respond(Trouble(call, 500, "no se pudo leer el almacen"));
    call.respond(call.api ? JsonAnswer(200, SummaryJson(summary))
                          : HtmlAnswer(200, SummaryPage(FrameOf(call, "Resumen de la flota"), summary)));
}

void Rollouts(Call& call, const Database& db) {
    std::vector<Rollout> rollouts;
    std::vector<Release> releases;
    std::string error;
    if (!LoadRollouts(db, rollouts, error) || !LoadReleases(db, releases, error)) {
        return call.respond(Trouble(call, 500, "no se pudo leer el almacen"));
    }
    call.respond(call.api ? JsonAnswer(200, RolloutsJson(rollouts))
                          : HtmlAnswer(200, RolloutsPage(FrameOf(call, "Despliegues"), rollouts, releases,
                                                         Notice(QueryValue(call.request.query, "aviso")))));
}

void OneRollout(Call& call, const Database& db, long long id) {
    RolloutView view;
    std::string error;
    if (!ReadRolloutView(db, id, view, error)) return call.respond(Trouble(call, 404, "no existe ese despliegue"));
    call.respond(call.api ? JsonAnswer(200, RolloutJson(view))
                          : HtmlAnswer(200, RolloutPage(FrameOf(call, "Despliegue " + std::to_string(id)), view,
                                                        Notice(QueryValue(call.request.query, "aviso")))));
}

void Releases(Call& call, const Database& db, const std::string& message) {
    std::vector<Release> releases;
    std::string error;
    if (!LoadReleases(db, releases, error)) return call.respond(Trouble(call, 500, "no se pudo leer el almacen"));
    call.respond(call.api ? JsonAnswer(200, ReleasesJson(releases))
                          : HtmlAnswer(200, ReleasesPage(FrameOf(call, "Versiones"), releases, message)));
}

void Failures(Call& call, const Database& db) {
    std::vector<FailureRow> rows;
    std::string error;
    if (!ReadFailures(db, rows, error)) return call.respond(Trouble(call, 500, "no se pudo leer el almacen"));
    call.respond(call.api ? JsonAnswer(200, FailuresJson(rows))
                          : HtmlAnswer(200, FailuresPage(FrameOf(call, "Fallos por paso y codigo"), rows)));
}

void FailureInstallations(Call& call, const Database& db) {
    const std::string& query = call.request.query;
    std::string rest;
    const long long rollout = IdAfter("/" + QueryValue(query, "despliegue"), "/", rest);
    const std::string step = QueryValue(query, "paso");
    const long long code = std::strtoll(QueryValue(query, "codigo").c_str(), nullptr, 10);
    std::vector<InstallationLine> lines;
    std::string error;
    if (!ReadFailureInstallations(db, rollout, step, code, lines, error)) {
        return call.respond(Trouble(call, 500, "no se pudo leer el almacen"));
    }
    const std::string heading = "Despliegue " + std::to_string(rollout) + ", paso " +
                                (step.empty() ? "(sin paso)" : step) + ", codigo " + std::to_string(code);
    call.respond(call.api ? JsonAnswer(200, InstallationsJson(lines))
                          : HtmlAnswer(200, InstallationListPage(FrameOf(call, "Instalaciones con fallos"), heading, "",
                                                                 lines)));
}

void Installations(Call& call, const Database& db) {
    const std::string search = QueryValue(call.request.query, "buscar");
    std::vector<InstallationLine> lines;
    std::string error;
    if (!search.empty() && !SearchInstallations(db, search, lines, error)) {
        return call.respond(Trouble(call, 500, "no se pudo leer el almacen"));
    }
    call.respond(call.api
                     ? JsonAnswer(200, InstallationsJson(lines))
                     : HtmlAnswer(200, InstallationListPage(FrameOf(call, "Instalaciones"),
                                                            search.empty() ? "" : "Equipos que contienen " + search,
                                                            search, lines)));
}

void OneInstallation(Call& call, const Database& db, const std::string& id) {
    InstallationHistory history;
    std::string error;
    if (!ReadInstallationHistory(db, id, history, error))
        return call.respond(Trouble(call, 404, "no existe esa instalacion"));
    const std::string title =
        "Instalacion " + (history.installation.hostname.empty() ? id : history.installation.hostname);
    call.respond(call.api ? JsonAnswer(200, InstallationJson(history))
                          : HtmlAnswer(200, InstallationPage(FrameOf(call, title), history)));
}

// ---- actions -------------------------------------------------------------

// Pause, resume, advance or halt, through the store's single writer, so the
// command and the reports that may halt the rollout take turns.
void Command(const std::shared_ptr<Call>& call, long long id, const std::string& action) {
    PendingRow row;
    row.isReport = false;
    row.receivedAt = UtcNowText();
    row.receivedMs = UnixMilliseconds();
    row.receivedUnix = row.receivedMs / 1000;
    row.clientAddress = call->request.clientAddress;
    row.command = RolloutCommand{id, action, call->session.operatorName};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const bool queued =
        call->context->writer->Enqueue(std::move(row), deadline, [call, id, action](StoreOutcome outcome) {
            if (!outcome.stored)
                return call->respond(Trouble(*call, 503, "el almacen no tomo la orden; intentelo de nuevo"));
            if (call->context->rollouts != nullptr) call->context->rollouts->RefreshSoon();
            const bool applied = outcome.id == 1;
            if (call->api) {
                return call->respond(JsonAnswer(
                    applied ? 200 : 409, applied ? "{\"ok\":true}" : ErrorResponse(409, Notice("rechazado")).body));
            }
            call->respond(
                Redirect("/panel/despliegues/" + std::to_string(id) + "?aviso=" + (applied ? action : "rechazado")));
        });
    if (!queued) call->respond(Trouble(*call, 503, "el almacen no tomo la orden; intentelo de nuevo"));
}

FieldOf FormOf(const Request& request) {
    return [&request](const std::string& name) { return Field(request, name); };
}

void AddRelease(Call& call, const Database& db) {
    Release release;
    std::string error;
    const std::string host = call.context->hosts.size() > 1 ? call.context->hosts[1] : call.context->hosts.front();
    if (!ReadReleaseRequest(FormOf(call.request), call.context->data.root, host, release, error) ||
        !InsertRelease(db, release, error)) {
        if (call.api) return call.respond(JsonAnswer(400, ErrorResponse(400, error).body));
        return Releases(call, db, error);
    }
    if (call.api) return call.respond(JsonAnswer(200, "{\"ok\":true,\"id\":" + std::to_string(release.id) + "}"));
    Releases(call, db, Notice("version"));
}

void StartRollout(Call& call, const Database& db) {
    long long releaseId = 0;
    Rollout rollout;
    std::string error;
    if (!ReadRolloutRequest(FormOf(call.request), releaseId, rollout, error) ||
        !LoadRelease(db, releaseId, rollout.release, error) || !InsertRollout(db, rollout, error)) {
        if (call.api) return call.respond(JsonAnswer(400, ErrorResponse(400, error).body));
        std::vector<Rollout> rollouts;
        std::vector<Release> releases;
        std::string ignored;
        LoadRollouts(db, rollouts, ignored);
        LoadReleases(db, releases, ignored);
        return call.respond(HtmlAnswer(400, RolloutsPage(FrameOf(call, "Despliegues"), rollouts, releases, error)));
    }
    if (call.context->rollouts != nullptr) call.context->rollouts->RefreshSoon();
    if (call.api) return call.respond(JsonAnswer(200, "{\"ok\":true,\"id\":" + std::to_string(rollout.id) + "}"));
    call.respond(Redirect("/panel/despliegues/" + std::to_string(rollout.id) + "?aviso=iniciado"));
}

// ---- routing ---------------------------------------------------------------

// The pages that only read; false when the path is none of them.
bool RouteRead(Call& c, const Database& db) {
    std::string rest;
    if (c.path == "/resumen" || c.path == "/") {
        Summary(c, db);
        return true;
    }
    if (c.path == "/despliegues") {
        Rollouts(c, db);
        return true;
    }
    if (const long long id = IdAfter(c.path, "/despliegues/", rest)) {
        if (rest.empty()) {
            OneRollout(c, db, id);
            return true;
        }
    }
    if (c.path == "/versiones") {
        Releases(c, db, "");
        return true;
    }
    if (c.path == "/fallos") {
        Failures(c, db);
        return true;
    }
    if (c.path == "/fallos/instalaciones") {
        FailureInstallations(c, db);
        return true;
    }
    if (c.path == "/instalaciones") {
        Installations(c, db);
        return true;
    }
    if (c.path.rfind("/instalaciones/", 0) == 0) {
        OneInstallation(c, db, c.path.substr(15));
        return true;
    }
    return false;
}

// The actions; false when the path is none of them.
bool RouteChange(const std::shared_ptr<Call>& call, const Database& db) {
    Call& c = *call;
    std::string rest;
    if (c.path == "/despliegues") {
        StartRollout(c, db);
        return true;
    }
    if (const long long id = IdAfter(c.path, "/despliegues/", rest)) {
        if (rest == "/pausar" || rest == "/reanudar" || rest == "/avanzar" || rest == "/detener") {
            Command(call, id, rest.substr(1));
            return true;
        }
    }
    if (c.path == "/versiones") {
        AddRelease(c, db);
        return true;
    }
    if (c.path == "/salir") {
        CloseSession(db, CookieValue(HeaderValue(c.request.headers, "Cookie"), SessionCookie));
        Response response = c.api ? JsonAnswer(200, "{\"ok\":true}") : Redirect("/panel/entrar");
        response.headers.push_back({"Set-Cookie", CookieHeader(SessionCookie, "", 0)});
        c.respond(std::move(response));
        return true;
    }
    return false;
}

void Route(const std::shared_ptr<Call>& call, const Database& db) {
    Call& c = *call;
    if (c.request.method != "POST") {
        if (!RouteRead(c, db)) c.respond(Trouble(c, 404, "no existe esa pagina"));
        return;
    }
    // Everything that changes something carries the session's CSRF token.
    const std::string sent = c.api ? HeaderValue(c.request.headers, "X-CSRF-Token") : Field(c.request, "csrf");
    if (!SameText(sent, c.session.csrf)) return c.respond(Trouble(c, 403, "falta el testigo de la sesion (CSRF)"));
    if (!RouteChange(call, db)) c.respond(Trouble(c, 404, "no existe esa pagina"));
}

Response LoginForm(const std::string& message, int status) {
    const std::string csrf = RandomToken();
    Response response = HtmlAnswer(status, LoginPage(csrf, message));
    response.headers.push_back({"Set-Cookie", CookieHeader(LoginCookie, csrf, 3600)});
    return response;
}

// Checks a login off the connection's thread (the password hash takes a
// while on purpose). The attempt is counted before its check, so guesses
// sent together meet the count of those sent before them.
// A login's name and password, from the API's JSON or the form; false
// with the answer for a request that cannot be one.
bool ReadCredentials(const Request& request, bool api, std::string& name, std::string& password, Response& refusal) {
    if (!api) {
        name = Field(request, "usuario");
        password = Field(request, "clave");
        const std::string expected = CookieValue(HeaderValue(request.headers, "Cookie"), LoginCookie);
        if (!expected.empty() && SameText(expected, Field(request, "csrf"))) return true;
        refusal = LoginForm("El formulario caduco; vuelva a intentarlo.", 403);
        return false;
    }
    // Only a script sends JSON: a page of another site cannot, without asking first.
    if (HeaderValue(request.headers, "Content-Type").rfind("application/json", 0) != 0) {
        refusal = JsonAnswer(415, ErrorResponse(415, "envie JSON").body);
        return false;
    }
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    const auto text = [&body](const char* member) {
        const auto found = body.is_object() ? body.find(member) : body.end();
        return found != body.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    name = text("usuario");
    password = text("clave");
    return true;
}

void Login(ServiceContext& context, const Request& request, Respond respond, bool api) {
    std::string name, password;
    Response refusal;
    if (!ReadCredentials(request, api, name, password, refusal)) return respond(std::move(refusal));
    const auto refused = [api](int status, const std::string& text) {
        return api ? JsonAnswer(status, ErrorResponse(status, text).body) : LoginForm(text, status);
    };
    // No operator has such a name or such a password: refused unchecked.
    if (!IsOperatorName(name) || password.empty() || password.size() > MaxPasswordBytes) {
        return respond(refused(401, "Usuario o clave incorrectos."));
    }
    const LoginKeys keys = KeysOfLogin(name, request.clientAddress);
    const int wait = context.logins->Begin(keys, std::time(nullptr));
    if (wait > 0) {
        Response response = refused(429, "Demasiados intentos fallidos; espere " + std::to_string(wait) + " s.");
        response.headers.push_back({"Retry-After", std::to_string(wait)});
        return respond(std::move(response));
    }
    ServiceContext* shared = &context;
    auto answer = std::make_shared<Respond>(std::move(respond));
    const bool asked = context.reads->Submit([shared, answer, name, password, keys, api, refused](const Database* db) {
        std::string token, csrf;
        const bool ok =
            db != nullptr && CheckOperator(*db, name, password) && OpenSession(*db, name, SessionHours, token, csrf);
        if (!ok) return (*answer)(refused(401, "Usuario o clave incorrectos."));
        shared->logins->Succeeded(keys);
        Response response =
            api ? JsonAnswer(200, "{\"ok\":true,\"csrf\":\"" + csrf + "\"}") : Redirect("/panel/resumen");
        response.headers.push_back({"Set-Cookie", CookieHeader(SessionCookie, token, SessionHours * 3600)});
        if (!api) response.headers.push_back({"Set-Cookie", CookieHeader(LoginCookie, "", 0)});
        (*answer)(std::move(response));
    });
    if (!asked) (*answer)(JsonAnswer(503, ErrorResponse(503, "el servicio esta ocupado").body));
}

Response StaticText(const char* type, const char* text) {
    Response response;
    response.headers.push_back({"Content-Type", type});
    response.body = text;
    Secure(response);
    return response;
}

}  // namespace

std::string CookieValue(const std::string& header, const std::string& name) {
    size_t start = 0;
    while (start < header.size()) {
        const size_t end = std::min(header.find(';', start), header.size());
        std::string pair = header.substr(start, end - start);
        while (!pair.empty() && pair.front() == ' ') pair.erase(pair.begin());
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.substr(0, equals) == name) return pair.substr(equals + 1);
        start = end + 1;
    }
    return std::string();
}

bool IsConsolePath(const std::string& path) {
    return path == "/panel" || path.rfind("/panel/", 0) == 0;
}

Admission AdmitConsole(const Request& head) {
    Admission admission;
    if (head.method != "GET" && head.method != "HEAD" && head.method != "POST") {
        admission.refused = true;
        admission.refusal = ErrorResponse(405, "metodo no permitido");
        admission.refusal.headers.push_back({"Allow", "GET, HEAD, POST"});
        admission.refusal.closeConnection = head.hasBody;
        return admission;
    }
    admission.readBody = head.method == "POST";
    admission.maxBodyBytes = MaxFormBytes;
    if (!admission.readBody && head.hasBody) {
        admission.refused = true;
        admission.refusal = ErrorResponse(400, "una peticion GET no lleva cuerpo");
        admission.refusal.closeConnection = true;
    }
    return admission;
}

void HandleConsole(ServiceContext& context, const Request& request, Respond respond) {
    const std::string& path = request.path;
    if (path == "/panel/estilo.css") return respond(StaticText("text/css; charset=utf-8", ConsoleStyle));
    if (path == "/panel/panel.js") return respond(StaticText("text/javascript; charset=utf-8", ConsoleScript));
    if (path == "/panel" || path == "/panel/") return respond(Redirect("/panel/resumen"));
    if (path == "/panel/entrar") {
        if (request.method == "POST") return Login(context, request, std::move(respond), false);
        return respond(LoginForm("", 200));
    }
    if (path == "/panel/api/entrar" && request.method == "POST")
        return Login(context, request, std::move(respond), true);
    auto call = std::make_shared<Call>();
    call->context = &context;
    call->request = request;
    call->respond = std::move(respond);
    call->api = path.rfind("/panel/api/", 0) == 0;
    call->path = path.substr(call->api ? 10 : 6);
    const std::string token = CookieValue(HeaderValue(request.headers, "Cookie"), SessionCookie);
    const auto unauthorized = [](const Call& c) {
        return c.api ? JsonAnswer(401, ErrorResponse(401, "inicie sesion en /panel/api/entrar").body)
                     : Redirect("/panel/entrar");
    };
    if (token.empty()) return call->respond(unauthorized(*call));
    const bool asked = context.reads->Submit([call, token, unauthorized](const Database* db) {
        if (db == nullptr) return call->respond(Trouble(*call, 503, "el almacen no esta disponible"));
        if (!FindSession(*db, token, call->session)) return call->respond(unauthorized(*call));
        Route(call, *db);
    });
    if (!asked) call->respond(Trouble(*call, 503, "el servicio esta ocupado; intentelo de nuevo"));
}
