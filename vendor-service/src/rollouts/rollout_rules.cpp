#include "rollouts/rollout_rules.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "agents/contract.h"

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

bool IsInCurrentStage(const Rollout& rollout, double place, bool pilot) {
    const auto& stages = rollout.settings.stages;
    if (stages.empty() || rollout.currentStage < 0) return false;
    const Stage& stage = stages[std::min<size_t>(static_cast<size_t>(rollout.currentStage), stages.size() - 1)];
    return pilot || (!stage.pilot && place < stage.percent);
}

bool CountsInRollout(const RolloutSettings& settings, int64_t rolloutStartedMs, int64_t firstSeenMs, int daysSeen) {
    constexpr int64_t DayMs = 86400000;
    return firstSeenMs > 0 && firstSeenMs < rolloutStartedMs - settings.minAgeDays * DayMs &&
           daysSeen >= settings.minDaysSeen;
}

StageCounts WithCountedOutcome(StageCounts counts, NetworkTally before, int newOutcome, int newFailure,
                               int networkWeight) {
    const NetworkTally after{before.outcomes + newOutcome, before.failures + newFailure};
    const auto weighed = [networkWeight](const NetworkTally& tally, double& outcomes, double& failures) {
        const double share = networkWeight > 0 && tally.outcomes > networkWeight
                                 ? static_cast<double>(networkWeight) / tally.outcomes
                                 : 1.0;
        outcomes = share * tally.outcomes;
        failures = share * tally.failures;
    };
    double outcomesBefore = 0, failuresBefore = 0, outcomesAfter = 0, failuresAfter = 0;
    weighed(before, outcomesBefore, failuresBefore);
    weighed(after, outcomesAfter, failuresAfter);
    counts.outcomes += newOutcome;
    counts.failures += newFailure;
    counts.weightedOutcomes += outcomesAfter - outcomesBefore;
    counts.weightedFailures += failuresAfter - failuresBefore;
    if (before.outcomes == 0 && after.outcomes > 0) ++counts.networks;
    if (before.failures == 0 && after.failures > 0) ++counts.failedNetworks;
    return counts;
}

bool MayOfferAgain(const RolloutSettings& settings, const InstallationInRollout& record, int64_t now) {
    if (record.putBack) return false;
    if (!record.known || record.outcomes == 0) return true;
    if (record.outcomes >= settings.maxAttempts) return false;
    return now - record.lastOutcomeAt >= settings.retryPauseSeconds;
}

namespace {

// Sums of weighed shares are compared with some room for rounding.
constexpr double Slack = 1e-6;

bool RateAbove(const RolloutSettings& settings, const StageCounts& counts) {
    return counts.weightedFailures > settings.maxFailureRate * counts.weightedOutcomes + Slack;
}

}  // namespace

Verdict HaltVerdict(const RolloutSettings& settings, const StageCounts& counts, const Stage& stage) {
    Verdict verdict;
    if (counts.failedNetworks < std::max(1, settings.minNetworks)) return verdict;
    char text[240];
    const std::string name = StageName(stage);
    const char* networks = counts.failedNetworks == 1 ? "red" : "redes";
    if (settings.maxFailures > 0 && counts.weightedFailures + Slack >= settings.maxFailures) {
        std::snprintf(text, sizeof text, "%d instalaciones fallaron en la etapa %s, en %d %s (límite: %d)",
                      counts.failures, name.c_str(), counts.failedNetworks, networks, settings.maxFailures);
        verdict.halt = true;
    } else if (counts.weightedOutcomes + Slack >= std::max(1, settings.minOutcomes) && RateAbove(settings, counts)) {
        std::snprintf(
            text, sizeof text, "fallaron %d de %d instalaciones en la etapa %s (%.1f %%, en %d %s; límite: %.1f %%)",
            counts.failures, counts.outcomes, name.c_str(), 100.0 * counts.weightedFailures / counts.weightedOutcomes,
            counts.failedNetworks, networks, 100.0 * settings.maxFailureRate);
        verdict.halt = true;
    }
    if (verdict.halt) verdict.reason = text;
    return verdict;
}

bool MayAdvance(const RolloutSettings& settings, const StageCounts& counts, int64_t stageStartedAt, int64_t now) {
    if (!settings.autoAdvance || counts.networks < std::max(1, settings.minNetworks)) return false;
    if (counts.weightedOutcomes + Slack < std::max(1, settings.minOutcomes) || RateAbove(settings, counts))
        return false;
    if (settings.maxFailures > 0 && counts.weightedFailures + Slack >= settings.maxFailures) return false;
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
