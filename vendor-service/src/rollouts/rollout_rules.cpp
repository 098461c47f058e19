#include "rollouts/rollout_rules.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

#include "agents/contract.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

double PlaceInRollout(const std::string& installationId, long long releaseId) {
    const std::string key = installationId + ":" + std::to_string(releaseId);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(key.data(), key.size(), digest, &size, EVP_sha256(), nullptr);
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | digest[i];
    return static_cast<double>(value % 1000000) / 10000.0;
}

bool IsTargeted(const Targeting& targeting, const std::string& programVersion) {
    for (const std::string& version : targeting.versions) {
        int order = 0;
        if (contract::CompareVersions(version, programVersion, order) && order == 0) return true;
    }
    if (targeting.from.empty() && targeting.to.empty()) return false;
    int low = 0, high = 0;
    const bool aboveFrom = targeting.from.empty() ||
                           (contract::CompareVersions(programVersion, targeting.from, low) && low >= 0);
    const bool belowTo =
        targeting.to.empty() || (contract::CompareVersions(programVersion, targeting.to, high) && high <= 0);
    return aboveFrom && belowTo;
}

bool IsInCurrentStage(const Rollout& rollout, double place, const std::string& hostname) {
    const auto& stages = rollout.settings.stages;
    if (stages.empty() || rollout.currentStage < 0) return false;
    const Stage& stage = stages[std::min<size_t>(static_cast<size_t>(rollout.currentStage), stages.size() - 1)];
    const std::string host = Lower(hostname);
    for (const std::string& pilot : rollout.settings.pilotHosts) {
        if (!host.empty() && host == pilot) return true;
    }
    return !stage.pilot && place < stage.percent;
}

bool MayOfferAgain(const RolloutSettings& settings, const InstallationInRollout& record, int64_t now) {
    if (!record.known || record.outcomes == 0) return true;
    if (record.outcomes >= settings.maxAttempts) return false;
    return now - record.lastOutcomeAt >= settings.retryPauseSeconds;
}

Verdict HaltVerdict(const RolloutSettings& settings, const StageCounts& counts) {
    Verdict verdict;
    char text[200];
    if (settings.maxFailures > 0 && counts.failures >= settings.maxFailures) {
        std::snprintf(text, sizeof text, "%d instalaciones fallaron en esta etapa (limite: %d)", counts.failures,
                      settings.maxFailures);
        verdict.halt = true;
    } else if (counts.outcomes >= std::max(1, settings.minOutcomes) &&
               static_cast<double>(counts.failures) > settings.maxFailureRate * counts.outcomes) {
        std::snprintf(text, sizeof text, "fallaron %d de %d instalaciones en esta etapa (%.1f %%; limite: %.1f %%)",
                      counts.failures, counts.outcomes, 100.0 * counts.failures / counts.outcomes,
                      100.0 * settings.maxFailureRate);
        verdict.halt = true;
    }
    if (verdict.halt) verdict.reason = text;
    return verdict;
}

bool MayAdvance(const RolloutSettings& settings, const StageCounts& counts, int64_t stageStartedAt, int64_t now) {
    if (!settings.autoAdvance || counts.outcomes < std::max(1, settings.minOutcomes)) return false;
    if (static_cast<double>(counts.failures) > settings.maxFailureRate * counts.outcomes) return false;
    if (settings.maxFailures > 0 && counts.failures >= settings.maxFailures) return false;
    return now - stageStartedAt >= settings.soakSeconds;
}

std::vector<Stage> StagesOf(const std::vector<double>& percents, bool withPilot) {
    std::vector<Stage> stages;
    if (withPilot) stages.push_back(Stage{true, 0});
    for (double percent : percents) stages.push_back(Stage{false, percent});
    return stages;
}

bool ParsePercents(const std::string& text, std::vector<double>& percents) {
    percents.clear();
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string part = text.substr(start, end - start);
        char* rest = nullptr;
        const double value = std::strtod(part.c_str(), &rest);
        if (part.empty() || rest == nullptr || *rest != '\0' || !(value > 0) || value > 100 ||
            (!percents.empty() && value <= percents.back())) {
            return false;
        }
        percents.push_back(value);
        start = end + 1;
    }
    return !percents.empty();
}

std::string StageName(const Stage& stage) {
    if (stage.pilot) return "piloto";
    char text[32];
    std::snprintf(text, sizeof text, "%g %%", stage.percent);
    return text;
}
