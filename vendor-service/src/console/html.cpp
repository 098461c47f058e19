#include "console/html.h"

#include <algorithm>
#include <cstdio>

std::string Html(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
                    out += "&#xFFFD;";
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string UrlComponent(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            out += escaped;
        }
    }
    return out;
}

std::string Link(const std::string& href, const std::string& label) {
    return "<a href=\"" + Html(href) + "\">" + Html(label) + "</a>";
}

std::string Page(const PageFrame& frame, const std::string& body) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>" + Html(frame.title) + " - Panel Trevanto</title>"
        "<link rel=\"stylesheet\" href=\"/panel/estilo.css\"><script src=\"/panel/panel.js\" defer></script>"
        "</head><body><header><span class=\"marca\">Panel Trevanto</span>";
    if (!frame.operatorName.empty()) {
        page += "<nav>" + Link("/panel/resumen", "Resumen") + Link("/panel/despliegues", "Despliegues") +
                Link("/panel/versiones", "Versiones") + Link("/panel/fallos", "Fallos") +
                Link("/panel/instalaciones", "Instalaciones") + "</nav><form method=\"post\" action=\"/panel/salir\">"
                "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(frame.csrf) + "\"><span>" +
                Html(frame.operatorName) + "</span> <button type=\"submit\">Salir</button></form>";
    }
    return page + "</header><main><h1>" + Html(frame.title) + "</h1>" + body + "</main></body></html>\n";
}

std::string Table(const std::vector<std::string>& headings, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<size_t>& rawColumns) {
    std::string table = "<table><thead><tr>";
    for (const std::string& heading : headings) table += "<th>" + Html(heading) + "</th>";
    table += "</tr></thead><tbody>";
    for (const auto& row : rows) {
        table += "<tr>";
        for (size_t i = 0; i < row.size(); ++i) {
            const bool raw = std::find(rawColumns.begin(), rawColumns.end(), i) != rawColumns.end();
            table += "<td>" + (raw ? row[i] : Html(row[i])) + "</td>";
        }
        table += "</tr>";
    }
    if (rows.empty()) table += "<tr><td colspan=\"" + std::to_string(headings.size()) + "\">Nada que mostrar.</td></tr>";
    return table + "</tbody></table>";
}

std::string ActionButton(const std::string& action, const std::string& label, const std::string& csrf,
                         const std::string& confirmText) {
    std::string form = "<form method=\"post\" action=\"" + Html(action) + "\" class=\"accion\"";
    if (!confirmText.empty()) form += " data-confirmar=\"" + Html(confirmText) + "\"";
    return form + "><input type=\"hidden\" name=\"csrf\" value=\"" + Html(csrf) + "\"><button type=\"submit\">" +
           Html(label) + "</button></form>";
}

const char ConsoleStyle[] = R"css(
body { font-family: "Liberation Sans", Arial, sans-serif; margin: 0; color: #1e1e1e; background: #f4f6fa; }
header { display: flex; align-items: center; gap: 1.5em; background: #0078d7; color: #fff; padding: 0.6em 1.2em; }
header .marca { font-weight: bold; }
header nav a { color: #fff; margin-right: 1em; text-decoration: none; }
header form { margin-left: auto; }
main { padding: 1em 1.5em; }
h1 { font-size: 1.4em; }
h2 { font-size: 1.1em; margin-top: 1.5em; }
table { border-collapse: collapse; background: #fff; margin: 0.5em 0 1em; }
th, td { border: 1px solid #c8d0dc; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }
th { background: #dde8f5; }
td.numero { text-align: right; }
.estado { font-weight: bold; padding: 0.1em 0.4em; border-radius: 3px; }
.estado.EN_CURSO { background: #d7f0d7; } .estado.PAUSADO { background: #fff2c2; }
.estado.DETENIDO { background: #f7d0d0; } .estado.TERMINADO { background: #dde8f5; }
.motivo { background: #f7d0d0; padding: 0.5em 0.8em; border-left: 4px solid #c0392b; }
form.accion { display: inline; margin-right: 0.4em; }
form.alta label { display: block; margin: 0.3em 0; }
.aviso { background: #fff2c2; padding: 0.5em 0.8em; }
)css";

const char ConsoleScript[] = R"js(
document.addEventListener("submit", function (event) {
  var text = event.target.getAttribute("data-confirmar");
  if (text && !window.confirm(text)) event.preventDefault();
});
)js";
