#include "console/pages.h"

#include <cstdio>

#include "rollouts/rollout_rules.h"

namespace {

std::string Number(long long value) {
    return std::to_string(value);
}

std::string Decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Percent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", value);
    return text;
}

std::string Status(const std::string& status) {
    return "<span class=\"estado " + Html(status) + "\">" + Html(status) + "</span>";
}

std::string RolloutHref(long long id) {
    return "/panel/despliegues/" + std::to_string(id);
}

std::string InstallationHref(const std::string& id) {
    return "/panel/instalaciones/" + UrlComponent(id);
}

std::string Notice(const std::string& message) {
    return message.empty() ? std::string() : "<p class=\"aviso\">" + Html(message) + "</p>";
}

std::string CountTable(const std::string& first, const std::string& second, const std::vector<CountRow>& rows) {
    std::vector<std::vector<std::string>> cells;
    for (const CountRow& row : rows) {
        if (second.empty()) {
            cells.push_back({row.first.empty() ? "(sin dato)" : row.first, Number(row.count)});
        } else {
            cells.push_back({row.first, row.second.empty() ? "(sin dato)" : row.second, Number(row.count)});
        }
    }
    std::vector<std::string> headings = {first};
    if (!second.empty()) headings.push_back(second);
    headings.emplace_back("Instalaciones");
    return Table(headings, cells);
}

std::string TargetingText(const Targeting& targeting) {
    std::string text;
    for (const std::string& version : targeting.versions) text += (text.empty() ? "" : ", ") + version;
    if (!targeting.from.empty() || !targeting.to.empty()) {
        text += (text.empty() ? "" : "; ") + std::string("de ") + (targeting.from.empty() ? "cualquiera" : targeting.from) +
                " a " + (targeting.to.empty() ? "cualquiera" : targeting.to);
    }
    return text;
}

std::vector<std::vector<std::string>> RolloutRows(const std::vector<Rollout>& rollouts) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(rollouts.size());
    for (const Rollout& rollout : rollouts) {
        const auto& stages = rollout.settings.stages;
        rows.push_back({Link(RolloutHref(rollout.id), "Despliegue " + Number(rollout.id)), Html(rollout.release.product),
                        Html(rollout.release.version), Status(rollout.status),
                        Html(stages.empty() ? "" : StageName(stages[static_cast<size_t>(rollout.currentStage)])),
                        Html(rollout.haltReason), Html(rollout.createdAt)});
    }
    return rows;
}

std::string LinesTable(const std::vector<InstallationLine>& lines, const std::string& noteHeading) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(lines.size());
    for (const InstallationLine& line : lines) {
        rows.push_back({Link(InstallationHref(line.id), line.hostname.empty() ? line.id : line.hostname),
                        Html(line.product), Html(line.programVersion), Html(line.lastSeen), Html(line.note)});
    }
    return Table({"Equipo", "Producto", "Version", "Ultimo check-in", noteHeading}, rows, {0, 1, 2, 3, 4});
}

}  // namespace

std::string LoginPage(const std::string& csrf, const std::string& message) {
    return Page(PageFrame{"Entrar", "", ""},
                Notice(message) +
                    "<form method=\"post\" action=\"/panel/entrar\" class=\"alta\">"
                    "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(csrf) + "\">"
                    "<label>Usuario <input name=\"usuario\" autocomplete=\"username\" required></label>"
                    "<label>Clave <input name=\"clave\" type=\"password\" autocomplete=\"current-password\" required></label>"
                    "<button type=\"submit\">Entrar</button></form>");
}

std::string SummaryPage(const PageFrame& frame, const FleetSummary& summary) {
    std::string body = "<p>Instalaciones vistas en los ultimos " + Number(summary.days) + " dias: <strong>" +
                       Number(summary.installations) + "</strong></p>" +
                       "<p>Sin historial (vistas un solo día; entre ellas, las que cualquiera puede inventar): " +
                       Number(summary.withoutHistory) + ". No entran en las tablas.</p>";
    body += "<h2>Por producto y version del programa</h2>" +
            CountTable("Producto", "Version", summary.byProductAndVersion);
    body += "<h2>Versiones del agente</h2>" + CountTable("Agente", "", summary.agentVersions);
    body += "<h2>Versiones de Windows</h2>" + CountTable("Windows", "", summary.windowsVersions);
    body += "<h2>Despliegues</h2>" +
            Table({"Despliegue", "Producto", "Version", "Estado", "Etapa", "Motivo", "Iniciado"},
                  RolloutRows(summary.rollouts), {0, 1, 2, 3, 4, 5, 6});
    return Page(frame, body);
}

std::string RolloutsPage(const PageFrame& frame, const std::vector<Rollout>& rollouts,
                         const std::vector<Release>& releases, const std::string& message) {
    std::string options;
    for (const Release& release : releases) {
        options += "<option value=\"" + Number(release.id) + "\">" + Html(release.product + " " + release.version) +
                   "</option>";
    }
    std::string body = Notice(message) +
                       Table({"Despliegue", "Producto", "Version", "Estado", "Etapa", "Motivo", "Iniciado"},
                             RolloutRows(rollouts), {0, 1, 2, 3, 4, 5, 6});
    body += "<h2>Iniciar un despliegue</h2><form method=\"post\" action=\"/panel/despliegues\" class=\"alta\">"
            "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(frame.csrf) + "\">"
            "<label>Version <select name=\"release\">" + options + "</select></label>"
            "<label>Sustituye a las versiones (separadas por comas) <input name=\"replaces\"></label>"
            "<label>o al rango desde <input name=\"from\"> hasta <input name=\"to\"></label>"
            "<label>Equipos piloto (separados por comas) <input name=\"pilot\"></label>"
            "<label>Etapas (%) <input name=\"stages\" value=\"1,10,50,100\"></label>"
            "<label>Resultados minimos por etapa <input name=\"min-outcomes\" value=\"20\"></label>"
            "<label>Fallos que la detienen (0: sin limite) <input name=\"max-failures\" value=\"0\"></label>"
            "<label>Porcentaje de fallos que la detiene <input name=\"max-failure-percent\" value=\"10\"></label>"
            "<label>Minutos de observacion por etapa <input name=\"soak-minutes\" value=\"60\"></label>"
            "<label><input type=\"checkbox\" name=\"manual\" value=\"1\"> Avanzar solo a mano</label>"
            "<button type=\"submit\">Iniciar</button></form>";
    return Page(frame, body);
}

std::string RolloutPage(const PageFrame& frame, const RolloutView& view, const std::string& message) {
    const Rollout& rollout = view.rollout;
    const RolloutSettings& settings = rollout.settings;
    std::string body = Notice(message) + "<p>" + Status(rollout.status) + " " + Html(rollout.release.product) +
                       " <strong>" + Html(rollout.release.version) + "</strong>, etapa " +
                       Number(rollout.currentStage + 1) + " de " + Number(static_cast<long long>(settings.stages.size())) +
                       "</p>";
    if (!rollout.haltReason.empty()) body += "<p class=\"motivo\">Motivo: " + Html(rollout.haltReason) + "</p>";
    const std::string base = RolloutHref(rollout.id);
    if (rollout.status == rollout_status::Running) {
        body += ActionButton(base + "/pausar", "Pausar", frame.csrf);
    }
    if (rollout.status == rollout_status::Paused) body += ActionButton(base + "/reanudar", "Reanudar", frame.csrf);
    if (rollout.status == rollout_status::Running || rollout.status == rollout_status::Paused) {
        body += ActionButton(base + "/avanzar", "Avanzar a la siguiente etapa", frame.csrf,
                             "La siguiente etapa recibira la version. Continuar?");
    }
    if (rollout.status != rollout_status::Halted) {
        body += ActionButton(base + "/detener", "Detener", frame.csrf, "Nadie mas recibira esta version. Detener?");
    }
    body += "<p>Sustituye a: " + Html(TargetingText(rollout.targeting)) + ". Paquete: " + Html(rollout.release.url) +
            " (" + Number(static_cast<long long>(rollout.release.size)) + " bytes). Se detiene con " +
            (settings.maxFailures > 0 ? Number(settings.maxFailures) + " fallos o " : std::string()) + "mas del " +
            Percent(100 * settings.maxFailureRate) + " de fallos sobre al menos " + Number(settings.minOutcomes) +
            " resultados; " +
            (settings.autoAdvance ? "avanza sola tras " + Number(settings.soakSeconds / 60) + " minutos de observacion"
                                  : "avanza solo a mano") +
            ".</p>";
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < view.stages.size(); ++i) {
        const StageFunnel& f = view.stages[i];
        std::string failures;
        for (const FailureCount& count : f.failures) {
            failures += Link("/panel/fallos/instalaciones?despliegue=" + Number(rollout.id) + "&paso=" +
                                 UrlComponent(count.step) + "&codigo=" + Number(count.code),
                             (count.step.empty() ? "(sin paso)" : count.step) + " " + Number(count.code) + ": " +
                                 Number(count.installations)) +
                        "<br>";
        }
        const std::string name = StageName(f.stage) + (static_cast<int>(i) == rollout.currentStage ? " (actual)" : "");
        rows.push_back({Html(name), Number(f.targeted), Number(f.offered), Number(f.downloadStarted),
                        Number(f.downloaded), Number(f.reportedOk), Number(f.failed), failures, Number(f.confirmed),
                        Number(f.unconfirmed)});
    }
    body += "<h2>Embudo por etapa</h2>" +
            Table({"Etapa", "Destinatarias", "Ofrecida", "Descarga iniciada", "Descargada", "OK", "Fallidas",
                   "Fallos por paso y codigo", "Confirmadas", "Sin confirmar"},
                  rows, {0, 7});
    std::vector<std::vector<std::string>> decisions;
    for (size_t i = 0; i < view.decisions.size() && i < view.stages.size(); ++i) {
        const StageCounts& c = view.decisions[i];
        decisions.push_back({Html(StageName(view.stages[i].stage)), Number(c.outcomes), Number(c.failures),
                             Number(c.networks), Number(c.failedNetworks), Decimal(c.weightedOutcomes),
                             Decimal(c.weightedFailures), Number(c.uncountedOutcomes), Number(c.uncountedFailures)});
    }
    body +=
        "<h2>Lo que decide cada etapa</h2><p>Cuentan las instalaciones vistas antes de empezar el despliegue" +
        (settings.minAgeDays > 0 ? ", al menos " + Number(settings.minAgeDays) + " días antes" : std::string()) +
        (settings.minDaysSeen > 0 ? ", vistas en " + Number(settings.minDaysSeen) + " días distintos" : std::string()) +
        ". Una etapa se detiene o avanza solo con resultados de al menos " + Number(settings.minNetworks) +
        " redes distintas (IPv4 /24, IPv6 /48)" +
        (settings.networkWeight > 0 ? ", y ninguna red pesa más de " + Number(settings.networkWeight) + " instalaciones"
                                    : std::string()) +
        ". Los resultados sin historial se guardan y se muestran aparte, pero no deciden nada.</p>" +
        Table({"Etapa", "Resultados que cuentan", "Fallidas que cuentan", "Redes", "Redes con fallos",
               "Resultados ponderados", "Fallos ponderados", "Sin historial: resultados", "Sin historial: fallidas"},
              decisions);
    std::vector<std::vector<std::string>> events;
    for (const RolloutEvent& event : view.events) events.push_back({event.at, event.event, event.detail});
    body += "<h2>Historia</h2>" + Table({"Cuando", "Que", "Detalle"}, events);
    body += "<h2>Instalaciones a las que se ofrecio</h2>" + LinesTable(view.installations, "Estado");
    return Page(frame, body);
}

std::string ReleasesPage(const PageFrame& frame, const std::vector<Release>& releases, const std::string& message) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(releases.size());
    for (const Release& release : releases) {
        rows.push_back({Number(release.id), release.product, release.version, release.url,
                        Number(static_cast<long long>(release.size)), release.sha256,
                        release.statement.empty() ? "sin declaración" : "declarada",
                        release.signature.empty() ? "sin firma" : release.signature, release.createdAt});
    }
    const std::string body =
        Notice(message) +
        Table({"Id", "Producto", "Version", "Paquete", "Bytes", "SHA-256", "Declaración", "Firma", "Alta"}, rows) +
        "<h2>Anadir una version</h2><form method=\"post\" action=\"/panel/versiones\" class=\"alta\">"
        "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(frame.csrf) + "\">"
        "<label>Producto <input name=\"product\" required></label>"
        "<label>Version <input name=\"version\" required></label>"
        "<label>Archivo servido aqui (bajo archivos/, como paquetes/mesalto.zip) <input name=\"file\"></label>"
        "<label>o una direccion https externa <input name=\"url\"> con sus bytes <input name=\"size\"> y su SHA-256 "
        "<input name=\"sha256\"></label>"
        "<label>Declaración del fabricante (la línea que imprime signing statement) "
        "<input name=\"statement\"></label>"
        "<label>Firma del paquete (la que imprime signing sign, opcional) <input name=\"signature\"></label>"
        "<button type=\"submit\">Anadir</button></form>";
    return Page(frame, body);
}

std::string FailuresPage(const PageFrame& frame, const std::vector<FailureRow>& rows) {
    std::vector<std::vector<std::string>> cells;
    for (const FailureRow& row : rows) {
        const std::string who =
            row.rolloutId == 0
                ? Html(Number(row.installations) + " informes")
                : Link("/panel/fallos/instalaciones?despliegue=" + Number(row.rolloutId) + "&paso=" +
                           UrlComponent(row.step) + "&codigo=" + Number(row.code),
                       Number(row.installations) + " instalaciones");
        cells.push_back({row.rolloutId == 0 ? Html("(sin oferta)") : Link(RolloutHref(row.rolloutId), Number(row.rolloutId)),
                         Html(row.product), Html(row.version), Html(row.step.empty() ? "(sin paso)" : row.step),
                         Html(Number(row.code)), who});
    }
    return Page(
        frame,
        "<p>Informes de actualizacion fallidos, por version, paso y codigo de error. Los que no nombran "
        "una oferta (sin despliegue) no cuentan en ningún despliegue: cualquiera puede enviarlos, y "
        "solo se muestran los 20 grupos mayores.</p>" +
            Table({"Despliegue", "Producto", "Version", "Paso", "Codigo", "Afectadas"}, cells, {0, 1, 2, 3, 4, 5}));
}

std::string InstallationListPage(const PageFrame& frame, const std::string& heading, const std::string& search,
                                 const std::vector<InstallationLine>& lines) {
    std::string body = "<form method=\"get\" action=\"/panel/instalaciones\"><label>Buscar por nombre de equipo "
                       "<input name=\"buscar\" value=\"" + Html(search) + "\"></label> <button type=\"submit\">Buscar"
                       "</button></form>";
    if (!heading.empty()) body += "<h2>" + Html(heading) + "</h2>";
    return Page(frame, body + LinesTable(lines, "Nota"));
}

std::string InstallationPage(const PageFrame& frame, const InstallationHistory& history) {
    const InstallationLine& line = history.installation;
    std::string body = Table({"Dato", "Valor"}, {{"Equipo", line.hostname},
                                                 {"Producto", line.product},
                                                 {"Version del programa", line.programVersion},
                                                 {"Ruta", history.installedPath},
                                                 {"Agente", history.agentVersion},
                                                 {"Windows", history.windowsVersion},
                                                 {"Direccion", history.clientAddress},
                                                 {"Visto por primera vez", history.firstSeen},
                                                 {"Ultimo check-in", line.lastSeen},
                                                 {"Check-ins", Number(history.checkIns)},
                                                 {"Identificador", line.id}});
    std::vector<std::vector<std::string>> events;
    for (const auto& event : history.events) events.push_back({event.at, event.kind, event.summary});
    body += "<h2>Historia</h2>" + Table({"Cuando", "Que", "Detalle"}, events);
    return Page(frame, body);
}

std::string MessagePage(const PageFrame& frame, const std::string& text) {
    return Page(frame, "<p>" + Html(text) + "</p>");
}
