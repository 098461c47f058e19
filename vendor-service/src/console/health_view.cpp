#include "console/health_view.h"

#include <nlohmann/json.hpp>

#include "console/list_view.h"
#include "console/spanish_format.h"
#include "console/svg_chart.h"

namespace {

std::string Figure(const std::string& label, const std::string& value, const std::string& detail, bool bad = false) {
    return std::string("<div class=\"cifra") + (bad ? " mala" : "") + "\">" + Html(label) + "<strong>" + Html(value) +
           "</strong>" + Html(detail) + "</div>";
}

double Rate(long long failed, long long outcomes) {
    return outcomes > 0 ? 100.0 * static_cast<double>(failed) / static_cast<double>(outcomes) : 0;
}

std::string Figures(const ReleaseHealth& health) {
    const std::string rate = health.outcomes > 0 ? SpanishPercent(Rate(health.failed, health.outcomes)) : "—";
    const bool worse = health.hasPrevious && health.previousOutcomes > 0 && health.outcomes > 0 &&
                       Rate(health.failed, health.outcomes) > Rate(health.previousFailed, health.previousOutcomes);
    std::string html = "<div class=\"cifras\">" +
                       Figure("Tasa de fallos", rate,
                              Counted(health.failed, "fallida", "fallidas") + " de " +
                                  Counted(health.outcomes, "instalación con resultado", "instalaciones con resultado"),
                              worse);
    if (health.hasPrevious) {
        html += Figure("Versión anterior (" + health.previous.version + ")",
                       health.previousOutcomes > 0 ? SpanishPercent(Rate(health.previousFailed, health.previousOutcomes))
                                                   : "—",
                       Counted(health.previousFailed, "fallida", "fallidas") + " de " +
                           Counted(health.previousOutcomes, "instalación con resultado",
                                   "instalaciones con resultado"));
    } else {
        html += Figure("Versión anterior", "—", "no hay otra versión anterior de este programa");
    }
    return html + "</div>";
}

// The bucket's label under the axis (sparse) and in its tooltip.
void Labels(const OutcomeSeries& series, const ChartWindow& window, const TimeZone& zone, ChartData& chart) {
    const size_t count = series.oks.size();
    const size_t every = window.key == "24h" ? 3 : (window.key == "7d" ? 4 : 5);
    for (size_t i = 0; i < count; ++i) {
        const int64_t at = series.from + static_cast<int64_t>(i) * series.bucketSeconds;
        const LocalTime local = ToLocal(zone, at);
        char hour[16], day[16];
        std::snprintf(hour, sizeof hour, "%02d h", local.hour);
        std::snprintf(day, sizeof day, "%02d/%02d", local.day, local.month);
        chart.xLabels.emplace_back(i % every == 0 ? (window.key == "24h" ? hour : day) : "");
        chart.xTitles.push_back(SpanishTime(zone, at));
    }
}

std::string Charts(const OutcomeSeries& series, const ChartWindow& window, const TimeZone& zone) {
    ChartData adoption;
    adoption.title = "Instalaciones actualizadas (informes OK acumulados)";
    adoption.line = true;
    adoption.whole = true;
    adoption.format = [](double value) { return SpanishCount(static_cast<long long>(value)); };
    Labels(series, window, zone, adoption);
    long long running = series.oksBefore;
    for (const long long oks : series.oks) adoption.values.push_back(static_cast<double>(running += oks));
    ChartData failures = adoption;
    failures.title = "Informes fallidos por intervalo";
    failures.line = false;
    failures.color = "#c0392b";
    failures.values.clear();
    for (const long long failed : series.failures) failures.values.push_back(static_cast<double>(failed));
    const std::string interval = SpanishDuration(window.bucketSeconds);
    return "<figure>" + ChartSvg(adoption) + "<figcaption>" + Html(adoption.title) + ", " + Html(window.label) +
           "</figcaption></figure><figure>" + ChartSvg(failures) + "<figcaption>" +
           Html("Informes fallidos en cada intervalo de " + interval + ", " + window.label) + "</figcaption></figure>";
}

std::string WindowLinks(const ChartWindow& window, const std::string& path, const std::string& query) {
    std::string links = "<p class=\"ventanas\">Ventana: ";
    for (const ChartWindow& each : ChartWindows()) {
        const std::string target = WithParameter(query, "ventana", each.key);
        std::string address = path;
        address += '?';
        address += target;
        links += "<a href=\"";
        links += Html(address);
        links += "\"";
        if (each.key == window.key) links += " class=\"actual\" aria-current=\"true\"";
        links += ">" + Html(each.label) + "</a>";
    }
    return links + "</p>";
}

std::string Groups(const ReleaseHealth& health, const TimeZone& zone, const std::string& failureQuery) {
    std::string table =
        "<div class=\"tabla\"><table><thead><tr><th>Paso</th><th class=\"numero\">Código</th><th>Mensaje</th>"
        "<th>Primera vez</th><th>Última vez</th><th class=\"numero\">Informes</th>"
        "<th class=\"numero\">Instalaciones</th><th class=\"numero\">Tasa</th></tr></thead><tbody>";
    for (const FailureGroup& group : health.groups) {
        const std::string href = "/panel/fallos/instalaciones?" + failureQuery + "&paso=" + UrlComponent(group.step) +
                                 "&codigo=" + std::to_string(group.code);
        const auto cell = [](const char* label, const std::string& html, bool number = false) {
            return std::string("<td") + (number ? " class=\"numero\"" : "") + " data-etiqueta=\"" + label + "\">" +
                   html + "</td>";
        };
        table += "<tr>" + cell("Paso", Html(group.step.empty() ? "(sin paso)" : group.step)) +
                 cell("Código", Html(std::to_string(group.code)), true) + cell("Mensaje", Html(group.message)) +
                 cell("Primera vez", TimeHtml(group.firstAt, zone)) + cell("Última vez", TimeHtml(group.lastAt, zone)) +
                 cell("Informes", Html(SpanishCount(group.reports)), true) +
                 cell("Instalaciones", Link(href, SpanishCount(group.installations)), true) +
                 cell("Tasa", Html(ShareOf(group.installations, health.outcomes)), true) + "</tr>";
    }
    if (health.groups.empty()) table += "<tr><td colspan=\"8\">Ningún fallo en esta ventana.</td></tr>";
    return table + "</tbody></table></div>";
}

}  // namespace

std::string HealthHtml(const ReleaseHealth& health, const ChartWindow& window, const std::string& path,
                       const std::string& query, const TimeZone& zone, const std::string& failureQuery) {
    return Figures(health) + WindowLinks(window, path, query) + Charts(health.series, window, zone) +
           "<h2>Fallos por paso y código</h2><p class=\"definicion\">Los informes fallidos agrupados por el paso y el "
           "código de error que dio el agente, con su último mensaje. «Instalaciones» son las que tienen ese fallo "
           "como el último; «Tasa», esas instalaciones entre las que dieron algún resultado. Se muestran los "
           "grupos vistos en la ventana.</p>" +
           Groups(health, zone, failureQuery);
}

std::string HealthJson(const ReleaseHealth& health, const ChartWindow& window) {
    using Json = nlohmann::ordered_json;
    Json groups = Json::array();
    for (const FailureGroup& g : health.groups) {
        groups.push_back({{"paso", g.step}, {"codigo", g.code}, {"mensaje", g.message}, {"primera_vez", g.firstAt},
                          {"ultima_vez", g.lastAt}, {"informes", g.reports}, {"instalaciones", g.installations}});
    }
    Json json = {{"instalaciones_con_resultado", health.outcomes},
                 {"instalaciones_fallidas", health.failed},
                 {"anterior", health.hasPrevious ? Json{{"version", health.previous.version},
                                                        {"instalaciones_con_resultado", health.previousOutcomes},
                                                        {"instalaciones_fallidas", health.previousFailed}}
                                                  : Json()},
                 {"ventana", window.key},
                 {"desde", health.series.from},
                 {"segundos_por_intervalo", health.series.bucketSeconds},
                 {"ok_antes", health.series.oksBefore},
                 {"ok", health.series.oks},
                 {"fallidos", health.series.failures},
                 {"fallos", groups}};
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}
