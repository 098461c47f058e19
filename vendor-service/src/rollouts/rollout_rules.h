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
// pilot (a pilot host's installation that counts in the rollout) is inside
// from the first stage on; any other, once the stage's percentage is above
// its place.
bool IsInCurrentStage(const Rollout& rollout, double place, bool pilot);

// True when an installation's outcomes count in a rollout's decisions: it
// was first seen before the rollout started (so a stranger cannot make one
// on demand), `minAgeDays` before at least, and on `minDaysSeen` distinct
// days or more. The others' outcomes are kept apart ("sin historial").
bool CountsInRollout(const RolloutSettings& settings, int64_t rolloutStartedMs, int64_t firstSeenMs, int daysSeen);

// A stage's counts once a counted installation of `network` (holding
// `before` until now) adds a first outcome and/or a first failure. Each
// network weighs at most `networkWeight` installations (0: no cap), its
// failures in the same proportion as its outcomes.
StageCounts WithCountedOutcome(StageCounts counts, NetworkTally before, int newOutcome, int newFailure,
                               int networkWeight);

// False for an installation held back: it has reported on this rollout
// (a failure, or an OK that no check-in confirmed) `maxAttempts` times, or
// less than `retryPauseSeconds` ago; and for good once its agent put the
// previous program back because the release's did not start.
bool MayOfferAgain(const RolloutSettings& settings, const InstallationInRollout& record, int64_t now);

struct Verdict {
    bool halt = false;
    std::string reason;  // Spanish, for the console
};

// Halts on a stage (any stage, whenever its outcomes come) when its counted
// failures, from at least `minNetworks` networks, pass the count or, over
// the minimum number of outcomes, the rate (both weighed per network).
Verdict HaltVerdict(const RolloutSettings& settings, const StageCounts& counts, const Stage& stage);

// True when a running stage may advance by itself: enough counted outcomes
// from at least `minNetworks` networks, a failure rate under the
// threshold, and its soak time behind it.
bool MayAdvance(const RolloutSettings& settings, const StageCounts& counts, int64_t stageStartedAt, int64_t now);

// The default stages: 1 %, 10 %, 50 %, 100 %, with a pilot stage first
// when there are pilot hosts.
std::vector<Stage> StagesOf(const std::vector<double>& percents, bool withPilot);

// "1,10,50,100" into percentages; false unless each is above 0, at most
// 100, and larger than the one before.
bool ParsePercents(const std::string& text, std::vector<double>& percents);

// "piloto", "1 %", "100 %": a stage as the console names it.
std::string StageName(const Stage& stage);
