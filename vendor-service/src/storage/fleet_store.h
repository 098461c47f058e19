// The fleet in the store: installations, releases, rollouts and each
// installation's way through a rollout. The writes run inside the writer's
// transaction, so a batch of reports and the halt decision they lead to are
// one commit; where several instances write (PostgreSQL), the rollout's row
// is locked for that decision. Two reports arriving together cannot both
// slip past a rollout's threshold.
#pragma once
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "rollouts/rollout_cache.h"
#include "rollouts/rollout_model.h"
#include "storage/audit_store.h"
#include "storage/database.h"
#include "storage/pending_row.h"

// What the writer keeps in memory between batches: the installations that
// reported an OK no check-in has confirmed yet (only their check-ins look
// for a confirmation), and the rollouts the open transaction stopped.
struct FleetMemory {
    std::unordered_set<std::string> awaitingConfirmation;
    std::vector<long long> stoppedInBatch;
};

// What strangers may add to the fleet.
struct FleetLimits {
    // New installations a network (IPv4 /24, IPv6 /48) may bring in 24
    // hours; past it a check-in is answered and stored, its installation
    // is not (it is taken at a later check-in). 0: no bound.
    int newInstallationsPerNetworkDay = 100;
};

bool LoadFleetMemory(const Database& db, FleetMemory& memory);

// A check-in's installation (kept, or new within its network's bound), its
// offer and confirmation, in the open transaction, before its row is
// written: `withoutHistory` when the installation was not kept (a kept
// one's row reads whether it has history itself).
SqlResult WriteCheckIn(const Database& db, FleetMemory& memory, const FleetLimits& limits, const PendingRow& row,
                       bool& withoutHistory);

// Whether the installation has been seen on two distinct days.
SqlResult HasHistory(const Database& db, const std::string& installationId, bool& withHistory);

// The writes any other row brings besides its report row, in the open
// transaction. `applied` tells whether a command changed its rollout.
SqlResult WriteFleetFacts(const Database& db, FleetMemory& memory, const PendingRow& row, bool& applied);

// Halts every offering rollout with a failing stage (any of its stages: a
// check that does not wait for the next report), and advances every
// running one whose current stage has earned it (enough counted outcomes
// from enough networks, few failures, its soak time behind it), in the
// open transaction.
SqlResult AdvanceRollouts(const Database& db, FleetMemory& memory, int64_t now);

// Rollouts that may offer (running, or finished and still offering), with
// their releases and pilots, and for each the installations that reported
// on it.
// With every rollout's package and product, by rollout id.
bool LoadOfferingState(const Database& db, OfferingState& state, std::string& error);

// Every rollout, newest first, or one.
bool LoadRollouts(const Database& db, std::vector<Rollout>& rollouts, std::string& error);
bool LoadRollout(const Database& db, long long id, Rollout& rollout, std::string& error);

StageCounts LoadStageCounts(const Database& db, long long rolloutId, int stage);

// A stage's counts from a row that selects outcomes, failures,
// weighted_outcomes, weighted_failures, networks, failed_networks,
// uncounted_outcomes and uncounted_failures first, in that order.
StageCounts ReadStageCounts(const SqlRow& row);

// A release of a product, recorded in the audit log as `actor`'s; false
// when the version is already there (or the store fails), with the reason.
bool InsertRelease(const Database& db, Release& release, std::string& error,
                   const std::string& actor = CommandLineActor);
bool LoadReleases(const Database& db, std::vector<Release>& releases, std::string& error);
// Products the store knows: its releases' and those its fleet runs
// (installations seen on two days or more: not what a stranger makes up).
bool KnownProducts(const Database& db, std::vector<std::string>& products, std::string& error);
bool LoadRelease(const Database& db, long long id, Release& release, std::string& error);

// Starts a rollout of a release (recorded as `actor`'s); false when its
// product already has a rollout running or paused, with the reason.
bool InsertRollout(const Database& db, Rollout& rollout, std::string& error,
                   const std::string& actor = CommandLineActor);

// Applies an operator's command outside the writer (the operator's command
// line, on the same store); false with the reason.
bool ApplyRolloutCommand(const Database& db, const RolloutCommand& command, std::string& error);

// The stage list as stored ("1,10,50,100").
std::string PercentsText(const std::vector<Stage>& stages);
