#include "console/rollout_pages.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <map>

#include "console/console_json.h"
#include "console/forms.h"
#include "console/health_view.h"
#include "console/spanish_format.h"
#include "rollouts/rollout_rules.h"
#include "routes/agent_api.h"
#include "routes/routes.h"
#include "storage/console_store.h"
#include "storage/fleet_store.h"
#include "storage/stored_time.h"

namespace {

std::string RolloutHref(long long id) {
    return "/panel/despliegues/" + std::to_string(id);
}

std::string StatusHtml(const std::string& status) {
    return "<span class=\"estado " + Html(status) + "\">" + Html(StatusWords(status)) + "</span>";
}

std::vector<std::pair<std::string, std::string>> StatusChoices() {
    std::vector<std::pair<std::string, std::string>> choices;
    for (const char* status : {rollout_status::Running, rollout_status::Paused, rollout_status::Halted,
                               rollout_status::Finished}) {
        choices.emplace_back(status, StatusWords(status));
    }
    return choices;
}

std::vector<std::pair<std::string, std::string>> Choices(const std::vector<std::string>& values) {
    std::vector<std::pair<std::string, std::string>> choices;
    choices.reserve(values.size());
    for (const std::string& value : values) choices.emplace_back(value, value);
    return choices;
}

// ---- the installations offered, and the history -----------------------------------

constexpr char InstallationState[] =
    "CASE WHEN ri.confirmed_at IS NOT NULL THEN 'confirmada'"
    " WHEN ri.unconfirmed_at IS NOT NULL THEN 'OK sin confirmar: sigue en la versión anterior'"
    " WHEN ri.ok_ms > 0 THEN 'OK, a la espera de confirmación'"
    " WHEN ri.failures > 0 AND ri.outcomes = ri.retried_outcomes THEN 'reintentando tras fallar: ' ||"
    " COALESCE(ri.last_step, '') || ' ' || CAST(COALESCE(ri.last_code, 0) AS TEXT)"
    " WHEN ri.failures > 0 THEN 'fallida: ' || COALESCE(ri.last_step, '') || ' ' ||"
    " CAST(COALESCE(ri.last_code, 0) AS TEXT)"
    " WHEN ri.download_completed_at IS NOT NULL THEN 'descargada'"
    " WHEN ri.download_started_at IS NOT NULL THEN 'descargando' ELSE 'ofrecida' END";

ListPlan OfferedListPlan(long long rolloutId, const std::string& name) {
    ListPlan plan;
    plan.name = name;
    plan.source = "FROM rollout_installations ri JOIN installations i ON i.id = ri.installation_id";
    plan.where = "ri.rollout_id = ?1";
    plan.parameters = {Int(rolloutId)};
    plan.columns = {{"equipo", "Equipo", "COALESCE(i.hostname, '')"},
                    {"version", "Versión del programa", "COALESCE(i.program_version, '')"},
                    {"estado", "Estado", InstallationState},
                    {"ofrecida", "Ofrecida por primera vez", "ri.first_offered_at", CellKind::Time},
                    {"ultimo_resultado", "Último resultado", "ri.last_outcome_at", CellKind::Time},
                    {"ultimo_checkin", "Último check-in", "i.last_seen", CellKind::Time},
                    {"id", "Identificador", "i.id", CellKind::Text, false, false}};
    plan.filters = {{"equipo", "Equipo", "lower(COALESCE(i.hostname, '')) LIKE ?? ESCAPE '\\'", true, {}},
                    {"estado", "Estado",
                     "CASE ?? WHEN 'ofrecida' THEN ri.download_started_at IS NULL AND ri.outcomes = 0"
                     " WHEN 'descargada' THEN ri.download_completed_at IS NOT NULL"
                     " WHEN 'ok' THEN ri.ok_ms > 0 WHEN 'confirmada' THEN ri.confirmed_at IS NOT NULL"
                     " WHEN 'sin_confirmar' THEN ri.unconfirmed_at IS NOT NULL WHEN 'fallida' THEN ri.failures > 0"
                     " ELSE 1 = 0 END",
                     false,
                     {{"ofrecida", "ofrecida, sin descarga ni resultado"},
                      {"descargada", "descargada"},
                      {"ok", "OK"},
                      {"confirmada", "confirmada"},
                      {"sin_confirmar", "OK sin confirmar"},
                      {"fallida", "fallida"}}}};
    plan.sort = "ofrecida";
    plan.tieBreak = "ri.installation_id";
    plan.rowKey = "ri.installation_id";
    plan.noun = "instalaciones";
    plan.oneNoun = "instalación";
    plan.empty = "Aún no se ha ofrecido a ninguna instalación.";
    return plan;
}

std::string OfferedCell(size_t column, const SqlRow& row) {
    if (column != 0) return "";
    const std::string host = row.Text(0);
    return Link("/panel/instalaciones/" + UrlComponent(row.Text(6)), host.empty() ? row.Text(6) : host);
}

ListPlan HistoryPlan(long long rolloutId, const std::string& name) {
    ListPlan plan;
    plan.name = name;
    plan.source = "FROM rollout_events";
    plan.where = "rollout_id = ?1";
    plan.parameters = {Int(rolloutId)};
    plan.columns = {{"cuando", "Cuándo", "at", CellKind::Time},
                    {"que", "Qué", "event"},
                    {"detalle", "Detalle", "detail", CellKind::Text, false}};
    plan.filters = {{"que", "Qué", "event = ??", false,
                     {{"iniciado", "iniciado"}, {"pausado", "pausado"}, {"reanudado", "reanudado"},
                      {"reconocido", "reanudado tras detenerse"}, {"avanzado", "avanzado"},
                      {"detenido", "detenido"}, {"reintento", "reintento"}, {"terminado", "terminado"}}}};
    plan.sort = "cuando";
    plan.tieBreak = "id";
    plan.noun = "sucesos";
    plan.oneNoun = "suceso";
    return plan;
}

// ---- what a stage waits for ---------------------------------------------------------

std::string Plural(long long n, const char* one, const char* many) {
    return Counted(n, one, many);
}

// Why the current stage has not advanced yet, and what it waits for.
std::string Waiting(const RolloutView& view, int64_t now, const TimeZone& zone) {
    const Rollout& rollout = view.rollout;
    const RolloutSettings& s = rollout.settings;
    const size_t current = static_cast<size_t>(std::max(0, rollout.currentStage));
    if (current >= view.stages.size()) return "";
    const std::string name = StageName(view.stages[current].stage);
    if (rollout.status == rollout_status::Paused) {
        return "Pausado: no ofrece la versión ni avanza hasta que se reanude.";
    }
    if (rollout.status == rollout_status::Finished) {
        return "Terminado: todas las etapas se cumplieron; sigue ofreciendo la versión a las instalaciones "
               "destinatarias que la piden.";
    }
    if (rollout.status != rollout_status::Running) return "";
    if (!s.autoAdvance) return "La etapa " + name + " avanza solo a mano: pulse «Avanzar a la siguiente etapa».";
    const StageCounts& counts = view.decisions[current];
    std::vector<std::string> waits;
    const double outcomesNeeded = std::max(1, s.minOutcomes) - counts.weightedOutcomes;
    if (outcomesNeeded > 1e-6) {
        waits.push_back(Plural(static_cast<long long>(std::ceil(outcomesNeeded - 1e-6)), "resultado", "resultados") +
                        " más que cuenten (lleva " + SpanishDecimal(counts.weightedOutcomes, 1) + " de " +
                        SpanishCount(s.minOutcomes) + ")");
    }
    if (counts.networks < std::max(1, s.minNetworks)) {
        waits.push_back(Plural(std::max(1, s.minNetworks) - counts.networks, "red", "redes") +
                        " más con resultados (lleva " + SpanishCount(counts.networks) + " de " +
                        SpanishCount(std::max(1, s.minNetworks)) + ")");
    }
    if (counts.weightedOutcomes > 0 && counts.weightedFailures > s.maxFailureRate * counts.weightedOutcomes + 1e-6) {
        waits.push_back("que su tasa de fallos (" +
                        SpanishPercent(100 * counts.weightedFailures / counts.weightedOutcomes) +
                        ") baje del límite (" + SpanishPercent(100 * s.maxFailureRate) + ")");
    }
    const int64_t left = rollout.stageStartedAt + s.soakSeconds - now;
    if (left > 0) {
        waits.push_back(SpanishDuration(left) + " más de observación (hasta las " + SpanishTime(zone, now + left) +
                        ")");
    }
    if (waits.empty()) return "La etapa " + name + " cumple lo que pide: avanzará en unos segundos.";
    std::string text = "La etapa " + name + " avanza sola cuando tenga ";
    for (size_t i = 0; i < waits.size(); ++i) {
        text += (i == 0 ? "" : (i + 1 == waits.size() ? " y " : ", ")) + waits[i];
    }
    return text + ".";
}

// Stages that can never advance by themselves as the rollout is set.
std::vector<std::string> NeverAdvancing(const RolloutView& view) {
    std::vector<std::string> warnings;
    const Rollout& rollout = view.rollout;
    const RolloutSettings& s = rollout.settings;
    if (!s.autoAdvance || rollout.status == rollout_status::Finished || rollout.status == rollout_status::Halted) {
        return warnings;
    }
    // The funnel's rows hold the bands above them; the band's own figures are kept apart.
    for (size_t i = static_cast<size_t>(std::max(0, rollout.currentStage)); i < view.stages.size(); ++i) {
        const StageFunnel& band = view.stages[i];
        const StageCounts& counts = view.decisions[i];
        const double reachable = std::max(band.reachableWeight, counts.weightedOutcomes);
        const int networks = std::max(band.countableNetworks, counts.networks);
        const std::string name = StageName(band.stage);
        if (reachable + 1e-6 < std::max(1, s.minOutcomes)) {
            warnings.push_back("La etapa " + name + " no puede avanzar sola tal como está: sus " +
                               Plural(band.countable, "instalación que cuenta", "instalaciones que cuentan") +
                               " dan como mucho " + SpanishDecimal(reachable, 1) + " resultados y pide " +
                               SpanishCount(s.minOutcomes) + ". Avánzela a mano o empiece otro despliegue con otros "
                               "ajustes.");
        } else if (networks < std::max(1, s.minNetworks)) {
            warnings.push_back("La etapa " + name + " no puede avanzar sola tal como está: sus instalaciones que "
                               "cuentan están en " + Plural(networks, "red", "redes") + " y pide " +
                               SpanishCount(s.minNetworks) + ". Avánzela a mano o empiece otro despliegue.");
        }
    }
    return warnings;
}

std::string JoinedHosts(const std::vector<std::string>& hosts) {
    std::string text;
    for (const std::string& host : hosts) text += (text.empty() ? "" : ", ") + host;
    return text;
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

std::string SettingsText(const Rollout& rollout) {
    const RolloutSettings& s = rollout.settings;
    std::string stages;
    for (const Stage& stage : s.stages) stages += (stages.empty() ? "" : ", ") + StageName(stage);
    return "Sustituye a: " + TargetingText(rollout.targeting) + ". Etapas: " + stages +
           (s.pilotHosts.empty() ? std::string() : " (equipos piloto: " + JoinedHosts(s.pilotHosts) + ")") +
           ". Paquete: " + rollout.release.url + " (" + Plural(static_cast<long long>(rollout.release.size), "byte", "bytes") +
           "). Se detiene con " + (s.maxFailures > 0 ? Plural(s.maxFailures, "fallo", "fallos") + " o " : std::string()) +
           "más del " + SpanishPercent(100 * s.maxFailureRate) + " de fallos sobre al menos " +
           Plural(s.minOutcomes, "resultado", "resultados") + "; " +
           (s.autoAdvance ? "avanza sola tras " + SpanishDuration(s.soakSeconds) + " de observación por etapa"
                          : "avanza solo a mano") +
           ". Vuelve a ofrecerse a una instalación que informó tras " + SpanishDuration(s.retryPauseSeconds) +
           ", " + Plural(s.maxAttempts, "intento", "intentos") + " como mucho.";
}

// ---- the funnel and the decisions -------------------------------------------------

std::string FunnelHtml(const RolloutView& view) {
    const Rollout& rollout = view.rollout;
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < view.stages.size(); ++i) {
        const StageFunnel& f = view.stages[i];
        std::string failures;
        for (const FailureCount& count : f.failures) {
            failures += Link("/panel/fallos/instalaciones?despliegue=" + std::to_string(rollout.id) + "&paso=" +
                                 UrlComponent(count.step) + "&codigo=" + std::to_string(count.code),
                             (count.step.empty() ? "(sin paso)" : count.step) + " " + std::to_string(count.code) +
                                 ": " + SpanishCount(count.installations)) +
                        "<br>";
        }
        const std::string name = StageName(f.stage) + (static_cast<int>(i) == rollout.currentStage ? " (actual)" : "");
        rows.push_back({name, SpanishCount(f.targeted), SpanishCount(f.offered), SpanishCount(f.downloadStarted),
                        SpanishCount(f.downloaded), SpanishCount(f.withOutcome), SpanishCount(f.reportedOk),
                        SpanishCount(f.failed), ShareOf(f.failed, f.withOutcome), failures, SpanishCount(f.confirmed),
                        SpanishCount(f.unconfirmed)});
    }
    return "<p class=\"definicion\">Cada fila cuenta las instalaciones que alcanza su etapa: las de lugar por debajo de "
           "su porcentaje (y las piloto), así que incluye las filas de encima y la última es el despliegue entero. "
           "<strong>Destinatarias</strong>: las del programa en una versión que esta sustituye (o a las que ya se "
           "ofreció), vistas en 30 días. <strong>Ofrecida</strong>: las que la recibieron en un check-in. "
           "<strong>Descarga iniciada / Descargada</strong>: las que pidieron el paquete con su oferta / recibieron su "
           "último byte. <strong>Con resultado</strong>: las que informaron al menos una vez; de ellas, "
           "<strong>OK</strong> y <strong>Fallidas</strong> (una instalación que falló y luego dio OK está en las dos). "
           "<strong>Tasa de fallos</strong>: fallidas entre las que tienen resultado. <strong>Confirmadas / Sin "
           "confirmar</strong>: tras un OK, su siguiente check-in mostró la versión nueva / aún la anterior.</p>" +
           Table({"Etapa", "Destinatarias", "Ofrecida", "Descarga iniciada", "Descargada", "Con resultado", "OK",
                  "Fallidas", "Tasa de fallos", "Fallos por paso y código", "Confirmadas", "Sin confirmar"},
                 rows, {9}, {1, 2, 3, 4, 5, 6, 7, 8, 10, 11});
}

std::string DecisionsHtml(const RolloutView& view) {
    const RolloutSettings& s = view.rollout.settings;
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < view.decisions.size() && i < view.stages.size(); ++i) {
        const StageCounts& c = view.decisions[i];
        rows.push_back({StageName(view.stages[i].stage), SpanishCount(c.outcomes), SpanishCount(c.failures),
                        SpanishCount(c.networks), SpanishCount(c.failedNetworks), SpanishDecimal(c.weightedOutcomes, 1),
                        SpanishDecimal(c.weightedFailures, 1), SpanishCount(c.uncountedOutcomes),
                        SpanishCount(c.uncountedFailures), SpanishCount(c.outcomes + c.uncountedOutcomes),
                        SpanishDecimal(view.acknowledged[i], 1)});
    }
    return "<p class=\"definicion\">Aquí cada instalación cuenta en la etapa en que se le ofreció la versión por primera "
           "vez, y estas son las cifras que cita el motivo de una detención. Cuentan las instalaciones vistas antes de "
           "empezar el despliegue" +
           (s.minAgeDays > 0 ? ", al menos " + Plural(s.minAgeDays, "día", "días") + " antes" : std::string()) +
           (s.minDaysSeen > 0 ? ", vistas en " + Plural(s.minDaysSeen, "día distinto", "días distintos") : std::string()) +
           ". Una etapa se detiene o avanza solo con resultados de al menos " + Plural(s.minNetworks, "red", "redes distintas") +
           " (IPv4 /24, IPv6 /48)" +
           (s.networkWeight > 0 ? ", y ninguna red pesa más de " + Plural(s.networkWeight, "instalación", "instalaciones")
                                : std::string()) +
           ". Los resultados sin historial se guardan y se muestran aparte, pero no deciden nada; «Todos los "
           "resultados» suma las dos clases. «Fallos reconocidos»: los ponderados que había cuando se reanudó el "
           "despliegue tras detenerse; solo un fallo nuevo lo detiene otra vez.</p>" +
           Table({"Etapa", "Resultados que cuentan", "Fallidas que cuentan", "Redes", "Redes con fallos",
                  "Resultados ponderados", "Fallos ponderados", "Sin historial: resultados", "Sin historial: fallidas",
                  "Todos los resultados", "Fallos reconocidos"},
                 rows, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
}

// ---- the controls -------------------------------------------------------------------

std::string Controls(const Call& call, const RolloutView& view) {
    if (!RoleAllows(call.viewer.role, Permission::Operate) || call.viewer.token) return "";
    const Rollout& rollout = view.rollout;
    const std::string base = RolloutHref(rollout.id);
    const std::string& csrf = call.viewer.csrf;
    std::string html;
    if (rollout.status == rollout_status::Running) html += ActionButton(base + "/pausar", "Pausar", csrf);
    if (rollout.status == rollout_status::Paused) html += ActionButton(base + "/reanudar", "Reanudar", csrf);
    if (rollout.status == rollout_status::Running || rollout.status == rollout_status::Paused) {
        html += ActionButton(base + "/avanzar", "Avanzar a la siguiente etapa", csrf,
                             "La siguiente etapa recibirá la versión. ¿Continuar?");
    }
    if (rollout.status != rollout_status::Halted) {
        html += ActionButton(base + "/detener", "Detener", csrf, "Nadie más recibirá esta versión. ¿Detener?");
    }
    if (view.retryable > 0) {
        html += ActionButton(base + "/reintentar",
                             view.retryable == 1 ? std::string("Reintentar la instalación fallida")
                                                 : "Reintentar las " + Plural(view.retryable, "instalación fallida",
                                                                              "instalaciones fallidas"),
                             csrf,
                             "Se ofrecerá de nuevo la versión a " +
                                 Plural(view.retryable, "instalación fallida", "instalaciones fallidas") +
                                 (rollout.status == rollout_status::Running ? " ahora." : " en cuanto ofrezca.") +
                                 " ¿Continuar?");
    }
    return html.empty() ? "" : "<div class=\"acciones\">" + html + "</div>";
}

// A halted rollout: its reason, and the ways on from it.
std::string HaltBox(const Call& call, const RolloutView& view) {
    const Rollout& rollout = view.rollout;
    if (rollout.status != rollout_status::Halted) return "";
    std::string html = "<p class=\"motivo\">Motivo: " + Html(rollout.haltReason) + "</p>";
    if (!RoleAllows(call.viewer.role, Permission::Operate) || call.viewer.token) return html;
    html += "<form method=\"post\" action=\"" + RolloutHref(rollout.id) + "/reconocer\" class=\"alta reconocer\">"
            "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(call.viewer.csrf) + "\">"
            "<label><input type=\"checkbox\" name=\"leido\" value=\"1\" required> He leído el motivo. Los fallos "
            "contados hasta ahora no lo detendrán otra vez; uno nuevo, con la tasa aún por encima del límite, sí."
            "</label><button type=\"submit\">Reanudar tras la detención</button></form>";
    html += "<p>" + Link("/panel/despliegues/nuevo?desde=" + std::to_string(rollout.id),
                         "Empezar un despliegue nuevo con los mismos ajustes") +
            " (por ejemplo, de una versión corregida).</p>";
    return html;
}

// ---- the pages --------------------------------------------------------------------

std::string Notice(const std::string& code) {
    if (code == "pausar") return "Despliegue pausado.";
    if (code == "reanudar") return "Despliegue reanudado.";
    if (code == "reconocer") return "Despliegue reanudado tras la detención; los fallos contados quedan reconocidos.";
    if (code == "avanzar") return "El despliegue pasó a la siguiente etapa.";
    if (code == "detener") return "Despliegue detenido.";
    if (code == "reintentar") return "Las instalaciones fallidas volverán a recibir la versión.";
    if (code == "iniciado") return "Despliegue iniciado.";
    return "";
}

std::string Refusal(const std::string& code) {
    if (code == "rechazado") return "El despliegue no admite esa acción en su estado.";
    if (code == "sin_leer") return "Marque «He leído el motivo» para reanudar el despliegue.";
    return "";
}

void ListPage(const CallPtr& call, const Database& db) {
    std::vector<std::string> products;
    std::string error;
    KnownProducts(db, products, error);
    const ListPlan plan = RolloutListPlan("", products);
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, plan, "despliegues", request, rows)) return;
    std::string body = NoticeHtml(Notice(QueryValue(call->request.query, "aviso")));
    if (RoleAllows(call->viewer.role, Permission::Operate)) {
        body += "<p>" + Link("/panel/despliegues/nuevo", "Iniciar un despliegue") + "</p>";
    }
    body += ListOnPage(*call, plan, request, rows, RolloutCell);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Despliegues"), body)));
}

// The form of a new rollout: blank (the defaults), or with another one's
// settings, or as it was sent when it was refused.
std::vector<FormInput> RolloutForm(const std::vector<Release>& releases) {
    const RolloutSettings d;
    std::vector<FormInput> inputs = {
        {"release", "Versión que se despliega", "", "", "select", {}, true},
        {"replaces", "Sustituye a las versiones (separadas por comas)", "", "por ejemplo 5.2.1.0, 5.2.0.0"},
        {"from", "o a las del rango desde", "", ""},
        {"to", "hasta", "", "ambos extremos incluidos"},
        {"pilot", "Equipos piloto (separados por comas)", "", "una primera etapa solo para sus instalaciones"},
        {"stages", "Etapas (%)", "1,10,50,100", ""},
        {"min-outcomes", "Resultados mínimos por etapa", std::to_string(d.minOutcomes), ""},
        {"max-failures", "Fallos que la detienen (0: sin límite)", std::to_string(d.maxFailures), ""},
        {"max-failure-percent", "Porcentaje de fallos que la detiene", "10", ""},
        {"soak-minutes", "Observación por etapa, en minutos", "60", ""},
        {"soak-seconds", "o en segundos", "", "si se da, manda sobre los minutos"},
        {"manual", "Avanzar solo a mano", "", "", "checkbox"},
        {"retry-hours", "Horas antes de ofrecerla de nuevo a quien informó", "24", ""},
        {"max-attempts", "Intentos por instalación", std::to_string(d.maxAttempts), ""},
        {"min-networks", "Redes mínimas para decidir", std::to_string(d.minNetworks), ""},
        {"network-weight", "Peso máximo de una red (0: sin límite)", std::to_string(d.networkWeight), ""},
        {"min-age-days", "Días de antigüedad mínimos", "0", "cuentan las instalaciones vistas al menos tantos días antes"},
        {"min-days-seen", "Días distintos vistos mínimos", "0", ""},
    };
    for (const Release& release : releases) {
        inputs[0].choices.emplace_back(std::to_string(release.id),
                                       release.product + " " + release.version + " (versión " +
                                           std::to_string(release.id) + ")");
    }
    return inputs;
}

void Prefill(std::vector<FormInput>& inputs, const Rollout& from) {
    const RolloutSettings& s = from.settings;
    std::string versions;
    for (const std::string& version : from.targeting.versions) versions += (versions.empty() ? "" : ",") + version;
    std::string pilots;
    for (const std::string& host : s.pilotHosts) pilots += (pilots.empty() ? "" : ",") + host;
    const std::map<std::string, std::string> values = {
        {"release", std::to_string(from.release.id)},
        {"replaces", versions},
        {"from", from.targeting.from},
        {"to", from.targeting.to},
        {"pilot", pilots},
        {"stages", PercentsText(s.stages)},
        {"min-outcomes", std::to_string(s.minOutcomes)},
        {"max-failures", std::to_string(s.maxFailures)},
        {"max-failure-percent", std::to_string(static_cast<long long>(std::lround(100 * s.maxFailureRate)))},
        {"soak-minutes", s.soakSeconds % 60 == 0 ? std::to_string(s.soakSeconds / 60) : ""},
        {"soak-seconds", s.soakSeconds % 60 == 0 ? "" : std::to_string(s.soakSeconds)},
        {"manual", s.autoAdvance ? "" : "1"},
        {"retry-hours", std::to_string(s.retryPauseSeconds / 3600)},
        {"max-attempts", std::to_string(s.maxAttempts)},
        {"min-networks", std::to_string(s.minNetworks)},
        {"network-weight", std::to_string(s.networkWeight)},
        {"min-age-days", std::to_string(s.minAgeDays)},
        {"min-days-seen", std::to_string(s.minDaysSeen)},
    };
    for (FormInput& input : inputs) {
        const auto found = values.find(input.name);
        if (found != values.end()) input.value = found->second;
    }
}

void NewRolloutPage(const CallPtr& call, const Database& db, const std::vector<FormInput>* sent,
                    const RequestError& error, int status) {
    std::vector<Release> releases;
    std::string ignored;
    LoadReleases(db, releases, ignored);
    std::vector<FormInput> inputs = RolloutForm(releases);
    std::string intro;
    std::string rest;
    const long long from = IdAfter("/" + QueryValue(call->request.query, "desde"), "/", rest);
    Rollout earlier;
    if (sent != nullptr) {
        inputs = *sent;
    } else if (from != 0 && LoadRollout(db, from, earlier, ignored)) {
        Prefill(inputs, earlier);
        intro = "<p>Con los ajustes del " + Link(RolloutHref(from), "despliegue " + std::to_string(from)) +
                " (" + Html(earlier.release.product + " " + earlier.release.version) +
                "); elija la versión que se despliega ahora y cambie lo que haga falta.</p>";
    }
    const std::string body = intro + FormHtml("/panel/despliegues", call->viewer.csrf, inputs, "Iniciar", error);
    call->respond(HtmlAnswer(status, Page(FrameOf(*call, db, "Iniciar un despliegue"), body)));
}

void RolloutPage(const CallPtr& call, const Database& db, long long id) {
    RolloutView view;
    std::string error;
    if (!ReadRolloutView(db, id, view, error)) return Trouble(*call, 404, "no existe ese despliegue");
    const ChartWindow window = WindowOf(QueryValue(call->request.query, "ventana"));
    const int64_t now = std::time(nullptr);
    ReleaseHealth health;
    if (!ReadReleaseHealth(db, view.rollout.release, id, window, now, health, error)) {
        return Trouble(*call, 500, "no se pudo leer el almacén");
    }
    const ListPlan offered = OfferedListPlan(id, "instalaciones");
    const ListPlan history = HistoryPlan(id, "historia");
    ListRequest offeredRequest, historyRequest;
    ListRows offeredRows, historyRows;
    if (!call->api) {
        if (AnswerList(*call, db, offered, "despliegue-" + std::to_string(id) + "-instalaciones", offeredRequest,
                       offeredRows) ||
            AnswerList(*call, db, history, "despliegue-" + std::to_string(id) + "-historia", historyRequest,
                       historyRows)) {
            return;
        }
    } else {
        historyRequest = ReadListRequest(history, "");
        ReadList(db, history, historyRequest, false, historyRows, error);
        return call->respond(JsonAnswer(200, RolloutJson(view, Waiting(view, now, *call->zone), NeverAdvancing(view),
                                                         HealthJson(health, window), historyRows)));
    }
    const Rollout& rollout = view.rollout;
    const std::string query = call->request.query;
    std::string notice = Notice(QueryValue(query, "aviso"));
    if (QueryValue(query, "aviso") == "avanzar" && rollout.status == rollout_status::Finished) {
        notice = "Despliegue terminado: se cumplió su última etapa.";
    }
    std::string body = NoticeHtml(notice) + ErrorHtml(Refusal(QueryValue(query, "aviso")));
    body += "<p>" + StatusHtml(rollout.status) + " " + Html(rollout.release.product) + " <strong>" +
            Html(rollout.release.version) + "</strong> (" +
            Link("/panel/versiones/" + std::to_string(rollout.release.id), "salud de la versión") + "), etapa " +
            SpanishCount(rollout.currentStage + 1) + " de " +
            SpanishCount(static_cast<long long>(rollout.settings.stages.size())) + ", iniciado el " +
            TimeHtml(rollout.createdAt, *call->zone) + "</p>";
    body += HaltBox(*call, view) + Controls(*call, view);
    const std::string waiting = Waiting(view, now, *call->zone);
    if (!waiting.empty()) body += "<p class=\"espera\">" + Html(waiting) + "</p>";
    for (const std::string& warning : NeverAdvancing(view)) body += "<p class=\"advertencia\">" + Html(warning) + "</p>";
    body += "<p>" + Html(SettingsText(rollout)) + "</p>";
    body += "<h2>Salud</h2>" + HealthHtml(health, window, "/panel" + call->path, query, *call->zone,
                                          "despliegue=" + std::to_string(id));
    body += "<h2>Embudo por etapa</h2>" + FunnelHtml(view);
    body += "<h2>Lo que decide cada etapa</h2>" + DecisionsHtml(view);
    body += "<h2>Instalaciones a las que se ofreció</h2>" + ListOnPage(*call, offered, offeredRequest, offeredRows,
                                                                       OfferedCell);
    body += "<h2>Historia</h2>" + ListOnPage(*call, history, historyRequest, historyRows);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Despliegue " + std::to_string(id)), body)));
}

// ---- the actions --------------------------------------------------------------------

// A command on a rollout, through the store's single writer, so that it and
// the reports that may halt the rollout take turns.
void Command(const CallPtr& call, long long id, const std::string& action) {
    if (action == "reconocer" && Field(call->request, "leido").empty()) {
        if (call->api) return Trouble(*call, 400, Refusal("sin_leer"));
        return call->respond(Redirect(RolloutHref(id) + "?aviso=sin_leer"));
    }
    PendingRow row;
    row.isReport = false;
    row.receivedAt = UtcNowText();
    row.receivedMs = UnixMilliseconds();
    row.receivedUnix = row.receivedMs / 1000;
    row.clientAddress = call->request.clientAddress;
    row.command = RolloutCommand{id, action, call->viewer.name};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const bool queued =
        call->context->writer->Enqueue(std::move(row), deadline, [call, id, action](StoreOutcome outcome) {
            if (!outcome.stored) return Trouble(*call, 503, "el almacén no tomó la orden; inténtelo de nuevo");
            if (call->context->rollouts != nullptr) call->context->rollouts->RefreshSoon();
            const bool applied = outcome.id == 1;
            if (call->api) {
                return call->respond(JsonAnswer(
                    applied ? 200 : 409, applied ? "{\"ok\":true}" : ErrorResponse(409, Refusal("rechazado")).body));
            }
            call->respond(Redirect(RolloutHref(id) + "?aviso=" + (applied ? action : "rechazado")));
        });
    if (!queued) Trouble(*call, 503, "el almacén no tomó la orden; inténtelo de nuevo");
}

void StartRollout(const CallPtr& call, const Database& db) {
    long long releaseId = 0;
    Rollout rollout;
    RequestError refusal;
    std::string error;
    const FieldOf sent = FormOf(call->request);
    bool ok = ReadRolloutRequest(sent, releaseId, rollout, refusal);
    if (ok && !LoadRelease(db, releaseId, rollout.release, error)) {
        refusal = {"release", "no existe esa versión", false};
        ok = false;
    }
    if (ok && !InsertRollout(db, rollout, error, call->viewer.name)) {
        refusal = {"", error, false};
        ok = false;
    }
    if (!ok) {
        if (call->api) return Trouble(*call, 400, refusal.Named(refusal.field));
        std::vector<Release> releases;
        LoadReleases(db, releases, error);
        std::vector<FormInput> inputs = RolloutForm(releases);
        KeepValues(inputs, sent);
        return NewRolloutPage(call, db, &inputs, refusal, 400);
    }
    if (call->context->rollouts != nullptr) call->context->rollouts->RefreshSoon();
    if (call->api) return call->respond(JsonAnswer(200, "{\"ok\":true,\"id\":" + std::to_string(rollout.id) + "}"));
    call->respond(Redirect(RolloutHref(rollout.id) + "?aviso=iniciado"));
}

bool IsCommand(const std::string& rest) {
    for (const char* action : {"/pausar", "/reanudar", "/avanzar", "/detener", "/reconocer", "/reintentar"}) {
        if (rest == action) return true;
    }
    return false;
}

}  // namespace

ListPlan RolloutListPlan(const std::string& name, const std::vector<std::string>& products) {
    ListPlan plan;
    plan.name = name;
    plan.source = "FROM rollouts r JOIN releases l ON l.id = r.release_id";
    plan.columns = {{"id", "Despliegue", "r.id", CellKind::Number},
                    {"producto", "Producto", "l.product"},
                    {"version", "Versión", "l.version"},
                    {"estado", "Estado", "r.status"},
                    {"etapa", "Etapa", "r.current_stage", CellKind::Number, false},
                    {"motivo", "Motivo", "r.halt_reason", CellKind::Text, false},
                    {"iniciado", "Iniciado", "r.created_at", CellKind::Time},
                    {"etapas", "Etapas", "r.stages", CellKind::Text, false, false},
                    {"piloto", "Piloto", "r.pilot_hosts", CellKind::Text, false, false}};
    plan.filters = {{"producto", "Producto", "l.product = ??", false, Choices(products)},
                    {"estado", "Estado", "r.status = ??", false, StatusChoices()}};
    plan.sort = "id";
    plan.tieBreak = "r.id";
    plan.noun = "despliegues";
    plan.oneNoun = "despliegue";
    plan.empty = "Aún no hay despliegues.";
    return plan;
}

std::string RolloutCell(size_t column, const SqlRow& row) {
    if (column == 0) return Link(RolloutHref(row.Int(0)), "Despliegue " + std::to_string(row.Int(0)));
    if (column == 3) return StatusHtml(row.Text(3));
    if (column == 4) {
        std::vector<double> percents;
        ParsePercents(row.Text(7), percents);
        const std::vector<Stage> stages = StagesOf(percents, !row.Text(8).empty());
        const auto current = static_cast<size_t>(std::max<long long>(0, row.Int(4)));
        return Html(current < stages.size() ? StageName(stages[current]) : "");
    }
    return "";
}

bool RouteRollouts(const CallPtr& call, const Database& db) {
    Call& c = *call;
    std::string rest;
    const bool post = c.request.method == "POST";
    if (c.path == "/despliegues") {
        if (!post) {
            ListPage(call, db);
        } else if (Allowed(c, Permission::Operate)) {
            StartRollout(call, db);
        }
        return true;
    }
    if (c.path == "/despliegues/nuevo" && !post) {
        if (Allowed(c, Permission::Operate)) NewRolloutPage(call, db, nullptr, {}, 200);
        return true;
    }
    const long long id = IdAfter(c.path, "/despliegues/", rest);
    if (id == 0) return false;
    if (!post && rest.empty()) {
        RolloutPage(call, db, id);
        return true;
    }
    if (post && IsCommand(rest)) {
        if (Allowed(c, Permission::Operate)) Command(call, id, rest.substr(1));
        return true;
    }
    return false;
}
