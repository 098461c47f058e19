#include "console/html.h"

#include <algorithm>
#include <cstdio>

#include "console/spanish_format.h"

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

namespace {

struct MenuItem {
    const char* href;
    const char* label;
    bool administratorsOnly;
};

constexpr MenuItem Menu[] = {
    {"/panel/resumen", "Resumen", false},        {"/panel/despliegues", "Despliegues", false},
    {"/panel/versiones", "Versiones", false},    {"/panel/fallos", "Fallos", false},
    {"/panel/instalaciones", "Instalaciones", false}, {"/panel/registro", "Registro", false},
    {"/panel/avisos", "Avisos", false},          {"/panel/accesos", "Accesos", true},
};

std::string HaltBanner(const std::vector<HaltAlert>& halts) {
    std::string banner = "<div id=\"alertas\" class=\"alertas\" data-fuente=\"/panel/api/alertas\">";
    for (const HaltAlert& halt : halts) {
        banner += "<p class=\"alerta\">" +
                  Link("/panel/despliegues/" + std::to_string(halt.rolloutId),
                       "Despliegue " + std::to_string(halt.rolloutId) + " (" + halt.product + " " + halt.version +
                           ") detenido") +
                  ": " + Html(halt.reason) + "</p>";
    }
    return banner + "</div>";
}

}  // namespace

std::string Page(const PageFrame& frame, const std::string& body) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>" + Html(frame.title) + " - Panel Trevanto</title>"
        "<link rel=\"stylesheet\" href=\"/panel/estilo.css\"><script src=\"/panel/panel.js\" defer></script>"
        "</head><body><header><span class=\"marca\">Panel Trevanto</span>";
    if (!frame.operatorName.empty()) {
        page += "<nav>";
        for (const MenuItem& item : Menu) {
            if (!item.administratorsOnly || frame.role == "administrador") page += Link(item.href, item.label);
        }
        page += "</nav><form method=\"post\" action=\"/panel/salir\" class=\"salir\">"
                "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(frame.csrf) + "\"><span>" +
                Html(frame.operatorName) + "</span> <button type=\"submit\">Salir</button></form>";
    }
    page += "</header>";
    if (!frame.operatorName.empty()) page += HaltBanner(frame.halts);
    return page + "<main><h1>" + Html(frame.title) + "</h1>" + body + "</main></body></html>\n";
}

std::string Table(const std::vector<std::string>& headings, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<size_t>& rawColumns, const std::vector<size_t>& numberColumns) {
    const auto has = [](const std::vector<size_t>& list, size_t i) {
        return std::find(list.begin(), list.end(), i) != list.end();
    };
    std::string table = "<div class=\"tabla\"><table><thead><tr>";
    for (size_t i = 0; i < headings.size(); ++i) {
        table += std::string("<th") + (has(numberColumns, i) ? " class=\"numero\"" : "") + ">" + Html(headings[i]) +
                 "</th>";
    }
    table += "</tr></thead><tbody>";
    for (const auto& row : rows) {
        table += "<tr>";
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string label = i < headings.size() ? headings[i] : std::string();
            table += std::string("<td") + (has(numberColumns, i) ? " class=\"numero\"" : "") + " data-etiqueta=\"" +
                     Html(label) + "\">" + (has(rawColumns, i) ? row[i] : Html(row[i])) + "</td>";
        }
        table += "</tr>";
    }
    if (rows.empty()) table += "<tr><td colspan=\"" + std::to_string(headings.size()) + "\">Nada que mostrar.</td></tr>";
    return table + "</tbody></table></div>";
}

std::string ActionButton(const std::string& action, const std::string& label, const std::string& csrf,
                         const std::string& confirmText) {
    std::string form = "<form method=\"post\" action=\"" + Html(action) + "\" class=\"accion\"";
    if (!confirmText.empty()) form += " data-confirmar=\"" + Html(confirmText) + "\"";
    return form + "><input type=\"hidden\" name=\"csrf\" value=\"" + Html(csrf) + "\"><button type=\"submit\">" +
           Html(label) + "</button></form>";
}

std::string NoticeHtml(const std::string& text) {
    return text.empty() ? std::string() : "<p class=\"aviso\" role=\"status\">" + Html(text) + "</p>";
}

std::string ErrorHtml(const std::string& text) {
    return text.empty() ? std::string() : "<p class=\"error\" role=\"alert\">" + Html(text) + "</p>";
}

std::string UnixTimeHtml(int64_t unixSeconds, const TimeZone& zone) {
    return "<time datetime=\"" + Html(UtcTitle(unixSeconds)) + "\" title=\"" + Html(UtcTitle(unixSeconds)) + "\">" +
           Html(SpanishTime(zone, unixSeconds)) + "</time>";
}

std::string TimeHtml(const std::string& storedUtc, const TimeZone& zone) {
    int64_t unixSeconds = 0;
    if (!ParseUtcText(storedUtc, unixSeconds)) return Html(storedUtc);
    return "<time datetime=\"" + Html(storedUtc) + "\" title=\"" + Html(UtcTitle(unixSeconds)) + "\">" +
           Html(SpanishTime(zone, unixSeconds)) + "</time>";
}

const char ConsoleStyle[] = R"css(
* { box-sizing: border-box; }
body { font-family: "Liberation Sans", Arial, sans-serif; margin: 0; color: #1e1e1e; background: #f4f6fa; }
header { display: flex; flex-wrap: wrap; align-items: center; gap: 0.4em 1.5em; background: #0b5cad; color: #fff;
  padding: 0.6em 1.2em; }
header .marca { font-weight: bold; }
header nav { display: flex; flex-wrap: wrap; gap: 0.3em 1em; }
header nav a { color: #fff; text-decoration: none; }
header nav a:hover { text-decoration: underline; }
header form.salir { margin-left: auto; }
main { padding: 1em 1.5em; max-width: 100%; }
main p, main li, main figcaption { overflow-wrap: break-word; }  /* a package's address is one long word */
h1 { font-size: 1.4em; }
h2 { font-size: 1.1em; margin-top: 1.5em; }
a { color: #0b5cad; }
.tabla { max-width: 100%; overflow-x: auto; }
table { border-collapse: collapse; background: #fff; margin: 0.5em 0 1em; }
th, td { border: 1px solid #c8d0dc; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }
td { overflow-wrap: anywhere; }
th { background: #dde8f5; }
th a { color: inherit; text-decoration: none; }
th.numero, td.numero { text-align: right; font-variant-numeric: tabular-nums; }
td.numero { white-space: nowrap; }  /* a heading may wrap; a figure never does */
.estado { font-weight: bold; padding: 0.1em 0.4em; border-radius: 3px; white-space: nowrap; }
.estado.EN_CURSO { background: #d7f0d7; } .estado.PAUSADO { background: #fff2c2; }
.estado.DETENIDO { background: #f7d0d0; } .estado.TERMINADO { background: #dde8f5; }
.motivo { background: #f7d0d0; padding: 0.5em 0.8em; border-left: 4px solid #c0392b; }
.espera { background: #eef3fa; padding: 0.5em 0.8em; border-left: 4px solid #0b5cad; }
.advertencia { background: #fff2c2; padding: 0.5em 0.8em; border-left: 4px solid #b7791f; }
.aviso { background: #d7f0d7; padding: 0.5em 0.8em; border-left: 4px solid #2f855a; }
.error { background: #f7d0d0; padding: 0.5em 0.8em; border-left: 4px solid #c0392b; font-weight: bold; }
.alertas .alerta { margin: 0; background: #c0392b; color: #fff; padding: 0.4em 1.2em; }
.alertas .alerta a { color: #fff; font-weight: bold; }
.definicion { color: #4a5568; font-size: 0.92em; max-width: 60em; }
form.accion { display: inline-block; margin: 0 0.4em 0.4em 0; }
form.alta label, form.alta fieldset { display: block; margin: 0.45em 0; }
form.alta input:not([type=checkbox]), form.alta select { display: block; width: 100%; max-width: 32em; }
form.alta .campo-error input, form.alta .campo-error select { border: 2px solid #c0392b; }
form.alta .mensaje-campo { color: #c0392b; font-weight: bold; }
form.filtros { display: flex; flex-wrap: wrap; gap: 0.4em 1em; align-items: flex-end; margin: 0.4em 0; }
form.filtros label { display: flex; flex-direction: column; font-size: 0.9em; }
.paginas a { margin-right: 0.6em; }
.cifras { display: flex; flex-wrap: wrap; gap: 0.6em; margin: 0.6em 0; }
.cifra { background: #fff; border: 1px solid #c8d0dc; padding: 0.5em 0.9em; min-width: 11em; }
.cifra strong { display: block; font-size: 1.4em; }
.cifra.mala strong { color: #c0392b; }
.ventanas a { margin-right: 0.8em; }
.ventanas a.actual { font-weight: bold; text-decoration: none; color: #1e1e1e; }
figure { margin: 0.5em 0 1em; max-width: 46em; }
figure svg { width: 100%; height: auto; background: #fff; border: 1px solid #c8d0dc; }
figcaption { font-size: 0.92em; color: #4a5568; }
code.secreto { display: block; background: #fff; border: 1px dashed #b7791f; padding: 0.5em; overflow-wrap: anywhere; }
@media (max-width: 700px) {
  main { padding: 0.6em; }
  header form.salir { margin-left: 0; }
  .tabla table, .tabla tbody, .tabla tr, .tabla td { display: block; width: 100%; }
  .tabla thead { display: none; }
  .tabla tr { border: 1px solid #c8d0dc; margin-bottom: 0.6em; background: #fff; }
  .tabla td { border: none; border-bottom: 1px solid #eef0f4; text-align: left; }
  .tabla td.numero { text-align: left; white-space: normal; }
  .tabla td::before { content: attr(data-etiqueta); display: block; font-size: 0.8em; color: #4a5568; }
}
)css";

const char ConsoleScript[] = R"js(
(function () {
  // The operator's time zone, for the times the pages show.
  try {
    var zone = Intl.DateTimeFormat().resolvedOptions().timeZone;
    if (zone && document.cookie.indexOf("panel_zona=" + encodeURIComponent(zone)) < 0) {
      document.cookie = "panel_zona=" + encodeURIComponent(zone) + "; path=/panel/; max-age=31536000; SameSite=Strict; Secure";
    }
  } catch (ignored) {}
  document.addEventListener("submit", function (event) {
    var text = event.target.getAttribute("data-confirmar");
    if (text && !window.confirm(text)) event.preventDefault();
  });
  // A package: the file as the body of one POST; once published, the release form names it.
  document.addEventListener("submit", function (event) {
    var form = event.target;
    if (!form.classList.contains("subida")) return;
    event.preventDefault();
    var file = form.querySelector("input[type=file]").files[0];
    var said = form.querySelector(".resultado-subida");
    if (!file) return;
    said.className = "resultado-subida";
    said.textContent = "Subiendo " + file.name + "…";
    fetch(form.getAttribute("data-destino") + "?nombre=" + encodeURIComponent(file.name), {
      method: "POST", body: file, credentials: "same-origin",
      headers: { "X-CSRF-Token": form.getAttribute("data-csrf") }
    }).then(function (answer) { return answer.json(); }).then(function (result) {
      if (!result.ok) throw new Error(result.error || "no se pudo subir");
      said.className = "resultado-subida aviso";
      said.textContent = "Publicado " + result.archivo + " (" + result.bytes.toLocaleString("es-ES") +
        " bytes, SHA-256 " + result.sha256 + "). El formulario de abajo ya lo nombra.";
      var named = document.querySelector("form[action='/panel/versiones'] input[name=file]");
      if (named) named.value = result.archivo;
    }).catch(function (error) {
      said.className = "resultado-subida error";
      said.textContent = error.message;
    });
  });
  // Halted rollouts appear on whatever page is open, without a reload.
  var banner = document.getElementById("alertas");
  if (!banner || !window.fetch) return;
  function show(list) {
    while (banner.firstChild) banner.removeChild(banner.firstChild);
    list.forEach(function (halt) {
      var line = document.createElement("p");
      line.className = "alerta";
      var link = document.createElement("a");
      link.href = "/panel/despliegues/" + halt.despliegue;
      link.textContent = "Despliegue " + halt.despliegue + " (" + halt.producto + " " + halt.version + ") detenido";
      line.appendChild(link);
      line.appendChild(document.createTextNode(": " + halt.motivo));
      banner.appendChild(line);
    });
  }
  setInterval(function () {
    fetch(banner.getAttribute("data-fuente"), { credentials: "same-origin" })
      .then(function (answer) { return answer.ok ? answer.json() : null; })
      .then(function (list) { if (Array.isArray(list)) show(list); })
      .catch(function () {});
  }, 15000);
})();
)js";
