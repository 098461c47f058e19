#include "console/console_call.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "routes/routes.h"
#include "storage/console_store.h"
#include "storage/stored_time.h"

namespace {

constexpr char SecurityPolicy[] =
    "default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self'; connect-src 'self';"
    " form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
constexpr int64_t HaltAlertSeconds = int64_t{3} * 86400;  // a halt stays on every page for three days

bool IsJson(const Request& request) {
    return HeaderValue(request.headers, "Content-Type").rfind("application/json", 0) == 0;
}

}  // namespace

bool IsRole(const std::string& role) {
    return role == console_role::Reader || role == console_role::Operator || role == console_role::Administrator;
}

bool IsTokenScope(const std::string& scope) {
    return scope == console_role::Reader || scope == console_role::Publisher || scope == console_role::Operator;
}

bool RoleAllows(const std::string& role, Permission permission) {
    switch (permission) {
        case Permission::Read: return IsRole(role) || IsTokenScope(role);
        case Permission::Publish:
            return role == console_role::Publisher || role == console_role::Operator ||
                   role == console_role::Administrator;
        case Permission::Operate: return role == console_role::Operator || role == console_role::Administrator;
        case Permission::Administer: return role == console_role::Administrator;
    }
    return false;
}

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

Response CsvAnswer(std::string body, const std::string& fileName) {
    Response response;
    response.headers.push_back({"Content-Type", "text/csv; charset=utf-8"});
    response.headers.push_back({"Content-Disposition", "attachment; filename=\"" + fileName + ".csv\""});
    response.body = std::move(body);
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

PageFrame FrameOf(const Call& call, const Database& db, const std::string& title) {
    PageFrame frame{title, call.viewer.name, call.viewer.csrf, call.viewer.role, call.zone, {}};
    std::string ignored;
    ReadHaltAlerts(db, UtcText(std::time(nullptr) - HaltAlertSeconds), frame.halts, ignored);
    return frame;
}

void Trouble(Call& call, int status, const std::string& text) {
    if (call.api) return call.respond(JsonAnswer(status, ErrorResponse(status, text).body));
    PageFrame frame{"Aviso", call.viewer.name, call.viewer.csrf, call.viewer.role, call.zone, {}};
    call.respond(HtmlAnswer(status, Page(frame, ErrorHtml(text))));
}

bool Allowed(Call& call, Permission permission) {
    if (RoleAllows(call.viewer.role, permission)) return true;
    Trouble(call, 403, "su rol (" + call.viewer.role + ") no permite hacer esto");
    return false;
}

std::string Field(const Request& request, const std::string& name) {
    if (!IsJson(request)) return QueryValue(request.body, name);
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    const auto found = body.is_object() ? body.find(name) : body.end();
    if (found == body.end()) return std::string();
    if (found->is_string()) return found->get<std::string>();
    if (found->is_number_integer()) return std::to_string(found->get<long long>());
    if (found->is_boolean()) return found->get<bool>() ? "1" : "";
    return std::string();
}

FieldOf FormOf(const Request& request) {
    return [&request](const std::string& name) { return Field(request, name); };
}

long long IdAfter(const std::string& path, const std::string& prefix, std::string& rest) {
    if (path.rfind(prefix, 0) != 0) return 0;
    const std::string tail = path.substr(prefix.size());
    const size_t slash = tail.find('/');
    const std::string digits = tail.substr(0, slash);
    rest = slash == std::string::npos ? std::string() : tail.substr(slash);
    if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::strtoll(digits.c_str(), nullptr, 10);
}

bool AnswerList(Call& call, const Database& db, const ListPlan& plan, const std::string& fileName,
                ListRequest& request, ListRows& rows) {
    const std::string& query = call.request.query;
    request = ReadListRequest(plan, query);
    const bool csv = QueryValue(query, "formato") == "csv" && QueryValue(query, "lista") == plan.name;
    std::string error;
    if (!ReadList(db, plan, request, csv, rows, error)) {
        Trouble(call, 500, "no se pudo leer el almacén");
        return true;
    }
    if (csv) {
        Response response = CsvAnswer(ListCsv(plan, rows), fileName);
        response.headers.push_back({"X-Total-Filas", std::to_string(rows.total)});
        call.respond(std::move(response));
        return true;
    }
    if (!call.api) return false;
    call.respond(JsonAnswer(200, ListJson(plan, request, rows)));
    return true;
}

std::string ListOnPage(const Call& call, const ListPlan& plan, const ListRequest& request, const ListRows& rows,
                       const CellHtml& cell) {
    return ListHtml(plan, request, rows, "/panel" + call.path, call.request.query, *call.zone, cell);
}
