// Pieces of the console's HTML. Every text goes through Html() on its way
// into a page, whoever wrote it; attribute values are always quoted.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "console/time_zone.h"

// & < > " ' as entities; control characters other than tab and line
// breaks as U+FFFD, so nothing can open a tag, leave an attribute or hide.
std::string Html(const std::string& text);

// %XX for everything but unreserved characters: a value inside a query.
std::string UrlComponent(const std::string& text);

// An alert on every page: a rollout that halted and is still halted.
struct HaltAlert {
    long long rolloutId = 0;
    std::string product;
    std::string version;
    std::string reason;
};

struct PageFrame {
    std::string title;
    std::string operatorName;  // empty on the login page (no menu then)
    std::string csrf;
    std::string role;  // "lectura", "operador", "administrador"
    std::shared_ptr<const TimeZone> zone = ZoneNamed("UTC");
    std::vector<HaltAlert> halts;
};

// A whole page: head (style sheet and script from /panel/, nothing
// inline), the menu, the halted rollouts, `body` as given (already
// escaped), and the logout form.
std::string Page(const PageFrame& frame, const std::string& body);

// A table; each cell is escaped unless `rawColumns` names it (its HTML is
// built by the caller); `numberColumns` are aligned right. Every cell
// carries its heading, for the narrow layout that shows rows as cards.
std::string Table(const std::vector<std::string>& headings, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<size_t>& rawColumns = {}, const std::vector<size_t>& numberColumns = {});

// A form that posts one action with the session's CSRF token.
std::string ActionButton(const std::string& action, const std::string& label, const std::string& csrf,
                         const std::string& confirmText = "");

// A link: the address is built by the console, the label escaped.
std::string Link(const std::string& href, const std::string& label);

// A confirmation ("Despliegue pausado.") and an error, each in a style of its own.
std::string NoticeHtml(const std::string& text);
std::string ErrorHtml(const std::string& text);

// A stored UTC time shown in the zone, with the UTC time on hover; the
// text as stored when it is no such time.
std::string TimeHtml(const std::string& storedUtc, const TimeZone& zone);
std::string UnixTimeHtml(int64_t unixSeconds, const TimeZone& zone);

// The style sheet and the script, served as files so that the pages need
// no inline code (the content security policy forbids it).
extern const char ConsoleStyle[];
extern const char ConsoleScript[];
