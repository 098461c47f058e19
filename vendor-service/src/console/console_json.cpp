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

Json ReleaseJson(const Release& release) {
    return {{"id", release.id},         {"producto", release.product}, {"version", release.version},
            {"url", release.url},       {"bytes", release.size},       {"sha256", release.sha256},
            {"firma", release.signature}, {"declarada", !release.statement.empty()}, {"alta", release.createdAt}};
}

Json RolloutItem(const Rollout& rollout) {
    Json stages = Json::array();
    for (const Stage& stage : rollout.settings.stages) stages.push_back(StageName(stage));
    const RolloutSettings& s = rollout.settings;
    return {{"id", rollout.id},
            {"version", ReleaseJson(rollout.release)},
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

Json LineJson(const InstallationLine& line) {
    return {{"id", line.id},         {"producto", line.product},         {"equipo", line.hostname},
            {"version", line.programVersion}, {"ultimo_checkin", line.lastSeen}, {"nota", line.note}};
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

std::string RolloutsJson(const std::vector<Rollout>& rollouts) {
    Json list = Json::array();
    for (const Rollout& rollout : rollouts) list.push_back(RolloutItem(rollout));
    return Dump(list);
}

std::string RolloutJson(const RolloutView& view) {
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
                          {"ok", f.reportedOk},
                          {"fallidas", f.failed},
                          {"fallos", failures},
                          {"confirmadas", f.confirmed},
                          {"sin_confirmar", f.unconfirmed}});
    }
    Json events = Json::array();
    for (const RolloutEvent& event : view.events) {
        events.push_back({{"cuando", event.at}, {"que", event.event}, {"detalle", event.detail}});
    }
    Json lines = Json::array();
    for (const InstallationLine& line : view.installations) lines.push_back(LineJson(line));
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
                             {"sin_historial_fallidas", c.uncountedFailures}});
    }
    Json json = RolloutItem(view.rollout);
    json["embudo"] = stages;
    json["decision"] = decisions;
    json["historia"] = events;
    json["instalaciones"] = lines;
    return Dump(json);
}

std::string ReleasesJson(const std::vector<Release>& releases) {
    Json list = Json::array();
    for (const Release& release : releases) list.push_back(ReleaseJson(release));
    return Dump(list);
}

std::string FailuresJson(const std::vector<FailureRow>& rows) {
    Json list = Json::array();
    for (const FailureRow& row : rows) {
        list.push_back({{"despliegue", row.rolloutId}, {"producto", row.product}, {"version", row.version},
                        {"paso", row.step}, {"codigo", row.code}, {"afectadas", row.installations}});
    }
    return Dump(list);
}

std::string InstallationsJson(const std::vector<InstallationLine>& lines) {
    Json list = Json::array();
    for (const InstallationLine& line : lines) list.push_back(LineJson(line));
    return Dump(list);
}

std::string InstallationJson(const InstallationHistory& history) {
    Json events = Json::array();
    for (const auto& event : history.events) {
        events.push_back({{"cuando", event.at}, {"que", event.kind}, {"detalle", event.summary}});
    }
    Json json = LineJson(history.installation);
    json["ruta"] = history.installedPath;
    json["direccion"] = history.clientAddress;
    json["agente"] = history.agentVersion;
    json["windows"] = history.windowsVersion;
    json["primera_vez"] = history.firstSeen;
    json["checkins"] = history.checkIns;
    json["historia"] = events;
    return Dump(json);
}
