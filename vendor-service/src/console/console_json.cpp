#include "console/console_json.h"

#include <nlohmann/json.hpp>

#include "rollouts/rollout_rules.h"

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json CountsJson(const std::vector<CountRow>& rows, const char* first, const char* second) {
    Json list = Json::array();
    for (const CountRow& row : rows) {
        Json item = {{first, row.first}};
        if (second != nullptr) item[second] = row.second;
        item["instalaciones"] = row.count;
        list.push_back(item);
    }
    return list;
}

Json ReleaseItem(const Release& release) {
    return {{"id", release.id},         {"producto", release.product}, {"version", release.version},
            {"url", release.url},       {"bytes", release.size},       {"sha256", release.sha256},
            {"firma", release.signature}, {"declarada", !release.statement.empty()}, {"alta", release.createdAt}};
}

Json RolloutItem(const Rollout& rollout) {
    Json stages = Json::array();
    for (const Stage& stage : rollout.settings.stages) stages.push_back(StageName(stage));
    const RolloutSettings& s = rollout.settings;
    return {{"id", rollout.id},
            {"version", ReleaseItem(rollout.release)},
            {"estado", rollout.status},
            {"etapa_actual", rollout.currentStage},
            {"etapas", stages},
            {"motivo", rollout.haltReason},
            {"sustituye",
             {{"versiones", rollout.targeting.versions},
              {"desde", rollout.targeting.from},
              {"hasta", rollout.targeting.to}}},
            {"piloto", s.pilotHosts},
            {"resultados_minimos", s.minOutcomes},
            {"fallos_maximos", s.maxFailures},
            {"porcentaje_fallos_maximo", 100 * s.maxFailureRate},
            {"segundos_observacion", s.soakSeconds},
            {"avanza_sola", s.autoAdvance},
            {"redes_minimas", s.minNetworks},
            {"peso_maximo_por_red", s.networkWeight},
            {"dias_minimos_de_antiguedad", s.minAgeDays},
            {"dias_vistos_minimos", s.minDaysSeen},
            {"iniciado", rollout.createdAt}};
}


}  // namespace

std::string SummaryJson(const FleetSummary& summary) {
    Json rollouts = Json::array();
    for (const Rollout& rollout : summary.rollouts) rollouts.push_back(RolloutItem(rollout));
    return Dump({{"dias", summary.days},
                 {"instalaciones", summary.installations},
                 {"sin_historial", summary.withoutHistory},
                 {"por_producto_y_version", CountsJson(summary.byProductAndVersion, "producto", "version")},
                 {"versiones_agente", CountsJson(summary.agentVersions, "version", nullptr)},
                 {"versiones_windows", CountsJson(summary.windowsVersions, "version", nullptr)},
                 {"despliegues", rollouts}});
}

std::string RolloutJson(const RolloutView& view, const std::string& waiting, const std::vector<std::string>& warnings,
                        const std::string& healthJson, const ListRows& history) {
    Json stages = Json::array();
    for (const StageFunnel& f : view.stages) {
        Json failures = Json::array();
        for (const FailureCount& count : f.failures) {
            failures.push_back({{"paso", count.step}, {"codigo", count.code}, {"instalaciones", count.installations}});
        }
        stages.push_back({{"etapa", StageName(f.stage)},
                          {"destinatarias", f.targeted},
                          {"ofrecida", f.offered},
                          {"descarga_iniciada", f.downloadStarted},
                          {"descargada", f.downloaded},
                          {"con_resultado", f.withOutcome},
                          {"ok", f.reportedOk},
                          {"fallidas", f.failed},
                          {"fallos", failures},
                          {"confirmadas", f.confirmed},
                          {"sin_confirmar", f.unconfirmed}});
    }
    Json events = Json::array();
    for (const SqlRow& row : history.rows) {
        events.push_back({{"cuando", row.Text(0)}, {"que", row.Text(1)}, {"detalle", row.Text(2)}});
    }
    Json decisions = Json::array();
    for (size_t i = 0; i < view.decisions.size() && i < view.stages.size(); ++i) {
        const StageCounts& c = view.decisions[i];
        decisions.push_back({{"etapa", StageName(view.stages[i].stage)},
                             {"resultados", c.outcomes},
                             {"fallidas", c.failures},
                             {"redes", c.networks},
                             {"redes_con_fallos", c.failedNetworks},
                             {"resultados_ponderados", c.weightedOutcomes},
                             {"fallos_ponderados", c.weightedFailures},
                             {"sin_historial_resultados", c.uncountedOutcomes},
                             {"sin_historial_fallidas", c.uncountedFailures},
                             {"fallos_reconocidos", i < view.acknowledged.size() ? view.acknowledged[i] : 0.0}});
    }
    Json json = RolloutItem(view.rollout);
    json["embudo"] = stages;
    json["decision"] = decisions;
    json["espera"] = waiting;
    json["advertencias"] = warnings;
    json["reintentables"] = view.retryable;
    json["salud"] = Json::parse(healthJson, nullptr, false);
    json["historia"] = events;
    return Dump(json);
}

std::string ReleaseJson(const Release& release, const std::string& healthJson) {
    Json json = ReleaseItem(release);
    json["salud"] = Json::parse(healthJson, nullptr, false);
    return Dump(json);
}

std::string InstallationJson(const InstallationFacts& facts) {
    return Dump({{"id", facts.id},
                 {"producto", facts.product},
                 {"equipo", facts.hostname},
                 {"version", facts.programVersion},
                 {"ruta", facts.installedPath},
                 {"direccion", facts.clientAddress},
                 {"agente", facts.agentVersion},
                 {"windows", facts.windowsVersion},
                 {"primera_vez", facts.firstSeen},
                 {"ultimo_checkin", facts.lastSeen},
                 {"checkins", facts.checkIns},
                 {"dias_visto", facts.daysSeen}});
}

std::string HaltAlertsJson(const std::vector<HaltAlert>& alerts) {
    Json list = Json::array();
    for (const HaltAlert& alert : alerts) {
        list.push_back({{"despliegue", alert.rolloutId}, {"producto", alert.product}, {"version", alert.version},
                        {"motivo", alert.reason}});
    }
    return Dump(list);
}
