// Pieces of the console's HTML. Every text goes through Html() on its way
// into a page, whoever wrote it; attribute values are always quoted.
#pragma once
#include <string>
#include <vector>

// & < > " ' as entities; control characters other than tab and line
// breaks as U+FFFD, so nothing can open a tag, leave an attribute or hide.
std::string Html(const std::string& text);

// %XX for everything but unreserved characters: a value inside a query.
std::string UrlComponent(const std::string& text);

struct PageFrame {
    std::string title;
    std::string operatorName;  // empty on the login page (no menu then)
    std::string csrf;
};

// A whole page: head (style sheet and script from /panel/, nothing
// inline), the menu, `body` as given (already escaped), and the logout form.
std::string Page(const PageFrame& frame, const std::string& body);

// A table; each cell is escaped unless `rawColumns` names it (its HTML is built by the caller).
std::string Table(const std::vector<std::string>& headings, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<size_t>& rawColumns = {});

// A form that posts one action with the session's CSRF token.
std::string ActionButton(const std::string& action, const std::string& label, const std::string& csrf,
                         const std::string& confirmText = "");

// A link: the address is built by the console, the label escaped.
std::string Link(const std::string& href, const std::string& label);

// The style sheet and the script, served as files so that the pages need
// no inline code (the content security policy forbids it).
extern const char ConsoleStyle[];
extern const char ConsoleScript[];
