#include "console/console_routes.h"

#include <unistd.h>

#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>

#include "console/access_pages.h"
#include "console/accounts.h"
#include "console/audit_page.h"
#include "console/console_call.h"
#include "console/failure_pages.h"
#include "console/installation_pages.h"
#include "console/login_page.h"
#include "console/package_upload.h"
#include "console/password_policy.h"
#include "console/release_pages.h"
#include "console/rollout_pages.h"
#include "console/summary_page.h"
#include "console/webhook_pages.h"
#include "routes/routes.h"

namespace {

constexpr char SessionCookie[] = "panel_sesion";
constexpr char LoginCookie[] = "panel_entrada";  // the login form's CSRF token (double submit)
constexpr char ZoneCookie[] = "panel_zona";      // the operator's time zone, as the browser knows it
constexpr char DefaultZone[] = "Europe/Madrid";
constexpr int SessionHours = 12;
constexpr size_t MaxFormBytes = size_t{64} * 1024;  // the console's forms and JSON bodies
constexpr size_t MaxReturnBytes = 2048;

std::string CookieHeader(const std::string& name, const std::string& value, int maxAge) {
    return name + "=" + value + "; Path=/panel/; HttpOnly; Secure; SameSite=Strict; Max-Age=" + std::to_string(maxAge);
}

// Where a login may lead: a page of the console, never another site, the
// API, or the login itself.
std::string SafeReturn(const std::string& asked) {
    std::string fallback = "/panel/resumen";
    if (asked.size() > MaxReturnBytes || asked.rfind("/panel/", 0) != 0 || asked.rfind("/panel/api/", 0) == 0 ||
        asked.rfind("/panel/entrar", 0) == 0 || asked.find("//") != std::string::npos ||
        asked.find('\\') != std::string::npos) {
        return fallback;
    }
    for (const char c : asked) {
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f) return fallback;
    }
    return asked;
}

std::shared_ptr<const TimeZone> ZoneOf(const Request& request) {
    std::string name;
    const std::string sent = CookieValue(HeaderValue(request.headers, "Cookie"), ZoneCookie);
    if (!DecodePercent(sent, name) || !IsZoneName(name)) name = DefaultZone;
    return ZoneNamed(name);
}

// The pages and actions, one group after another; false when none took the path.
bool RouteAll(const CallPtr& call, const Database& db) {
    return RouteSummary(call, db) || RouteRollouts(call, db) || RouteReleases(call, db) || RouteFailures(call, db) ||
           RouteInstallations(call, db) || RouteAudit(call, db) || RouteWebhooks(call, db) || RouteAccess(call, db) ||
           RouteUpload(call, db);
}

void Route(const CallPtr& call, const Database& db) {
    Call& c = *call;
    if (c.request.method == "POST") {
        // Everything that changes something carries the session's CSRF token (a token's header is its own proof).
        const std::string sent = c.api ? HeaderValue(c.request.headers, "X-CSRF-Token") : Field(c.request, "csrf");
        if (!c.viewer.token && !SameText(sent, c.viewer.csrf)) {
            return Trouble(c, 403, "falta el testigo de la sesión (CSRF)");
        }
        if (c.path == "/salir") {
            CloseSession(db, CookieValue(HeaderValue(c.request.headers, "Cookie"), SessionCookie));
            Response response = c.api ? JsonAnswer(200, "{\"ok\":true}") : Redirect("/panel/entrar");
            response.headers.push_back({"Set-Cookie", CookieHeader(SessionCookie, "", 0)});
            return c.respond(std::move(response));
        }
    }
    if (!RouteAll(call, db)) Trouble(c, 404, "no existe esa página");
}

Response LoginForm(const std::string& message, int status, const std::string& returnTo) {
    const std::string csrf = RandomToken();
    Response response = HtmlAnswer(status, LoginPage(csrf, message, returnTo));
    response.headers.push_back({"Set-Cookie", CookieHeader(LoginCookie, csrf, 3600)});
    return response;
}

// A login's name and password, from the API's JSON or the form; false
// with the answer for a request that cannot be one.
bool ReadCredentials(const Request& request, bool api, std::string& name, std::string& password, Response& refusal) {
    if (!api) {
        name = QueryValue(request.body, "usuario");
        password = QueryValue(request.body, "clave");
        const std::string expected = CookieValue(HeaderValue(request.headers, "Cookie"), LoginCookie);
        if (!expected.empty() && SameText(expected, QueryValue(request.body, "csrf"))) return true;
        refusal = LoginForm("El formulario caducó; vuelva a intentarlo.", 403,
                            SafeReturn(QueryValue(request.body, "volver")));
        return false;
    }
    // Only a script sends JSON: a page of another site cannot, without asking first.
    if (HeaderValue(request.headers, "Content-Type").rfind("application/json", 0) != 0) {
        refusal = JsonAnswer(415, ErrorResponse(415, "envíe JSON").body);
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

// Checks a login off the connection's thread (the password hash takes a
// while on purpose). The attempt is counted before its check, so guesses
// sent together meet the count of those sent before them.
void Login(ServiceContext& context, const Request& request, Respond respond, bool api) {
    std::string name, password;
    Response refusal;
    if (!ReadCredentials(request, api, name, password, refusal)) return respond(std::move(refusal));
    const std::string returnTo = SafeReturn(QueryValue(request.body, "volver"));
    const auto refused = [api, returnTo](int status, const std::string& text) {
        return api ? JsonAnswer(status, ErrorResponse(status, text).body) : LoginForm(text, status, returnTo);
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
    const bool asked =
        context.reads->Submit([shared, answer, name, password, keys, api, refused, returnTo](const Database* db) {
            std::string token, csrf;
            const bool ok = db != nullptr && CheckOperator(*db, name, password) &&
                            OpenSession(*db, name, SessionHours, token, csrf);
            if (!ok) return (*answer)(refused(401, "Usuario o clave incorrectos."));
            shared->logins->Succeeded(keys);
            Response response = api ? JsonAnswer(200, "{\"ok\":true,\"csrf\":\"" + csrf + "\"}") : Redirect(returnTo);
            response.headers.push_back({"Set-Cookie", CookieHeader(SessionCookie, token, SessionHours * 3600)});
            if (!api) response.headers.push_back({"Set-Cookie", CookieHeader(LoginCookie, "", 0)});
            (*answer)(std::move(response));
        });
    if (!asked) (*answer)(JsonAnswer(503, ErrorResponse(503, "el servicio está ocupado").body));
}

Response StaticText(const char* type, const char* text) {
    Response response;
    response.headers.push_back({"Content-Type", type});
    response.body = text;
    Secure(response);
    return response;
}

// The caller, from its session cookie or (on the API) its token; false
// when there is neither.
bool Identify(const Database& db, const Call& call, const std::string& session, const std::string& bearer,
              Viewer& viewer) {
    if (!bearer.empty()) {
        std::string name, scope;
        if (!call.api || !FindToken(db, bearer, name, scope)) return false;
        viewer = Viewer{"token «" + name + "»", scope, "", true};
        return true;
    }
    Session found;
    if (!FindSession(db, session, found)) return false;
    viewer = Viewer{found.operatorName, found.role, found.csrf, false};
    return true;
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

Admission AdmitConsole(const ServiceContext& context, const Request& head) {
    if (head.method == "POST" && head.path == package_upload::Path) return AdmitUpload(context, head);
    Admission admission;
    if (head.method != "GET" && head.method != "HEAD" && head.method != "POST") {
        admission.refused = true;
        admission.refusal = ErrorResponse(405, "método no permitido");
        admission.refusal.headers.push_back({"Allow", "GET, HEAD, POST"});
        admission.refusal.closeConnection = head.hasBody;
        return admission;
    }
    admission.readBody = head.method == "POST";
    admission.maxBodyBytes = MaxFormBytes;
    if (!admission.readBody && head.hasBody) {
        admission.refused = true;
        admission.refusal = ErrorResponse(400, "una petición GET no lleva cuerpo");
        admission.refusal.closeConnection = true;
    }
    return admission;
}

void HandleConsole(ServiceContext& context, const Request& request, Respond respond) {
    // An uploaded body's file goes with the request unless a route published it first.
    const std::shared_ptr<void> upload =
        request.bodyFile.empty() ? nullptr
                                 : std::shared_ptr<void>(nullptr, [file = request.bodyFile](void*) { ::unlink(file.c_str()); });
    const std::string& path = request.path;
    if (path == "/panel/estilo.css") return respond(StaticText("text/css; charset=utf-8", ConsoleStyle));
    if (path == "/panel/panel.js") return respond(StaticText("text/javascript; charset=utf-8", ConsoleScript));
    if (path == "/panel" || path == "/panel/") return respond(Redirect("/panel/resumen"));
    if (path == "/panel/entrar") {
        if (request.method == "POST") return Login(context, request, std::move(respond), false);
        return respond(LoginForm("", 200, SafeReturn(QueryValue(request.query, "volver"))));
    }
    if (path == "/panel/api/entrar" && request.method == "POST")
        return Login(context, request, std::move(respond), true);
    auto call = std::make_shared<Call>();
    call->context = &context;
    call->request = request;
    call->respond = std::move(respond);
    call->upload = upload;
    call->api = path.rfind("/panel/api/", 0) == 0;
    call->path = path.substr(call->api ? 10 : 6);
    call->zone = ZoneOf(request);
    const std::string session = CookieValue(HeaderValue(request.headers, "Cookie"), SessionCookie);
    const std::string authorization = HeaderValue(request.headers, "Authorization");
    const std::string bearer = authorization.rfind("Bearer ", 0) == 0 ? authorization.substr(7) : std::string();
    const auto unauthorized = [](const Call& c) {
        if (c.api) return JsonAnswer(401, ErrorResponse(401, "inicie sesión en /panel/api/entrar").body);
        const std::string target = c.request.target;
        if (c.request.method != "GET" || target == "/panel/resumen") return Redirect("/panel/entrar");
        return Redirect("/panel/entrar?volver=" + UrlComponent(SafeReturn(target)));
    };
    if (session.empty() && bearer.empty()) return call->respond(unauthorized(*call));
    const bool asked = context.reads->Submit([call, session, bearer, unauthorized](const Database* db) {
        if (db == nullptr) return Trouble(*call, 503, "el almacén no está disponible");
        if (!Identify(*db, *call, session, bearer, call->viewer)) return call->respond(unauthorized(*call));
        Route(call, *db);
    });
    if (!asked) Trouble(*call, 503, "el servicio está ocupado; inténtelo de nuevo");
}
