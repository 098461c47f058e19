// One request to the console once its caller is known (an operator's
// session, or an API token), and what every page group answers with.
#pragma once
#include <memory>
#include <string>

#include "console/html.h"
#include "console/list_view.h"
#include "http/message.h"
#include "rollouts/fleet_requests.h"
#include "storage/database.h"

struct ServiceContext;

// What a caller may do. Roles: "lectura" reads; "operador" also publishes
// releases and runs rollouts; "administrador" also manages webhooks,
// operators and tokens. A token's scope: "lectura", "publicar" (reads and
// publishes releases and packages) or "operador"; never administration.
enum class Permission { Read, Publish, Operate, Administer };

namespace console_role {
inline constexpr char Reader[] = "lectura";
inline constexpr char Operator[] = "operador";
inline constexpr char Administrator[] = "administrador";
inline constexpr char Publisher[] = "publicar";  // a token's scope only
}  // namespace console_role

bool IsRole(const std::string& role);
bool IsTokenScope(const std::string& scope);
bool RoleAllows(const std::string& role, Permission permission);

struct Viewer {
    std::string name;  // the operator, or "token «name»"
    std::string role;  // a role, or a token's scope
    std::string csrf;  // the session's; none for a token (its header is its proof)
    bool token = false;
};

struct Call {
    ServiceContext* context = nullptr;
    Request request;
    Respond respond;
    bool api = false;
    std::string path;  // without "/panel" or "/panel/api"
    Viewer viewer;
    std::shared_ptr<const TimeZone> zone = ZoneNamed("UTC");
    std::shared_ptr<void> upload;  // removes an uploaded body's file once the call is over
};
using CallPtr = std::shared_ptr<Call>;

Response HtmlAnswer(int status, std::string body);
Response JsonAnswer(int status, std::string body);
Response CsvAnswer(std::string body, const std::string& fileName);
Response Redirect(const std::string& to);
void Secure(Response& response);

// The page's frame for the caller, with the halted rollouts of the last days.
PageFrame FrameOf(const Call& call, const Database& db, const std::string& title);

// Answers a request that could not be served (a message page, or JSON).
void Trouble(Call& call, int status, const std::string& text);
// Answers 403 when the caller may not; true when it may.
bool Allowed(Call& call, Permission permission);

// A form field of the body (application/x-www-form-urlencoded), or a
// member of a JSON body from the API.
std::string Field(const Request& request, const std::string& name);
FieldOf FormOf(const Request& request);

// An id after a prefix ("/despliegues/7" gives 7, and the rest after it); 0 when there is none.
long long IdAfter(const std::string& path, const std::string& prefix, std::string& rest);

// A list read for the caller: answered here as JSON (the API) or CSV
// ("formato=csv" and this list's name) and then true; else `rows` are read
// for the page and false. A store failure is answered, and true.
bool AnswerList(Call& call, const Database& db, const ListPlan& plan, const std::string& fileName,
                ListRequest& request, ListRows& rows);

// The list as the page shows it.
std::string ListOnPage(const Call& call, const ListPlan& plan, const ListRequest& request, const ListRows& rows,
                       const CellHtml& cell = nullptr);
