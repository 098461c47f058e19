// The rules of a staged rollout: who is targeted, who is inside the
// current stage, who may be offered the release again, and when a stage
// halts or advances. Pure functions over the records of rollout_model.h.
#pragma once
#include <string>

#include "rollouts/rollout_model.h"

// An installation's place in a release's rollout: a number in [0, 100),
// the same at every check-in, spread evenly over installations, and
// different from one release to the next (so the same installations are
// not always first).
double PlaceInRollout(const std::string& installationId, long long releaseId);

// True when the program version is one the release replaces.
bool IsTargeted(const Targeting& targeting, const std::string& programVersion);

// True when the installation is inside the rollout's current stage: a
// pilot host is inside from the first stage on; any other, once the
// stage's percentage is above its place.
bool IsInCurrentStage(const Rollout& rollout, double place, const std::string& hostname);

// False for an installation held back: it has reported on this rollout
// (a failure, or an OK that no check-in confirmed) `maxAttempts` times, or
// less than `retryPauseSeconds` ago.
bool MayOfferAgain(const RolloutSettings& settings, const InstallationInRollout& record, int64_t now);

struct Verdict {
    bool halt = false;
    std::string reason;  // Spanish, for the console
};

// Halts the stage when its failures pass the count or, over the minimum
// number of outcomes, the rate.
Verdict HaltVerdict(const RolloutSettings& settings, const StageCounts& counts);

// True when a running stage may advance by itself: enough outcomes, a
// failure rate under the threshold, and its soak time behind it.
bool MayAdvance(const RolloutSettings& settings, const StageCounts& counts, int64_t stageStartedAt, int64_t now);

// The default stages: 1 %, 10 %, 50 %, 100 %, with a pilot stage first
// when there are pilot hosts.
std::vector<Stage> StagesOf(const std::vector<double>& percents, bool withPilot);

// "1,10,50,100" into percentages; false unless each is above 0, at most
// 100, and larger than the one before.
bool ParsePercents(const std::string& text, std::vector<double>& percents);

// "piloto", "1 %", "100 %": a stage as the console names it.
std::string StageName(const Stage& stage);
