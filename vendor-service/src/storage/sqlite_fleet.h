// The fleet in SQLite: installations, releases, rollouts and each
// installation's way through a rollout. The writes run inside the
// writer's transaction, so a batch of reports and the halt decision they
// lead to are one commit: two reports arriving together cannot both slip
// past a rollout's threshold.
#pragma once
#include <sqlite3.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "rollouts/rollout_cache.h"
#include "rollouts/rollout_model.h"
#include "storage/pending_row.h"
#include "storage/sqlite_handles.h"

// What the writer keeps in memory between batches: the installations that
// reported an OK no check-in has confirmed yet (only their check-ins look
// for a confirmation).
struct FleetMemory {
    std::unordered_set<std::string> awaitingConfirmation;
    std::vector<long long> stoppedInBatch;  // rollouts halted or paused by the open transaction
};

bool LoadFleetMemory(sqlite3* db, FleetMemory& memory);

// The writes a row brings besides its report row, in the open transaction;
// SQLite's result code of the first that failed, SQLITE_OK when all went
// through. `applied` tells whether a command changed its rollout.
int WriteFleetFacts(StatementCache& statements, FleetMemory& memory, const PendingRow& row, bool& applied);

// Halts every offering rollout whose stage is failing (a check that does
// not wait for the next report), and advances every running one whose stage
// has earned it (enough outcomes, few failures, its soak time behind it).
// The result code.
int AdvanceRollouts(StatementCache& statements, FleetMemory& memory, int64_t now);

// Rollouts that may offer (running, or finished and still offering), with
// their releases.
bool LoadOfferingRollouts(sqlite3* db, std::vector<Rollout>& rollouts, std::string& error);

// Every rollout, newest first, or one.
bool LoadRollouts(sqlite3* db, std::vector<Rollout>& rollouts, std::string& error);
bool LoadRollout(sqlite3* db, long long id, Rollout& rollout, std::string& error);

bool LoadInstallationInRollout(sqlite3* db, long long rolloutId, const std::string& installationId,
                               InstallationInRollout& record);

// The offering rollouts and, for each, the installations that reported on it.
bool LoadOfferingState(sqlite3* db, std::vector<Rollout>& rollouts, ReportedInstallations& reported,
                       std::string& error);

StageCounts LoadStageCounts(sqlite3* db, long long rolloutId, int stage);

// A release of a product; false when the version is already there (or the
// store fails), with the reason.
bool InsertRelease(sqlite3* db, Release& release, std::string& error);
bool LoadReleases(sqlite3* db, std::vector<Release>& releases, std::string& error);
bool LoadRelease(sqlite3* db, long long id, Release& release, std::string& error);

// Starts a rollout of a release; false when its product already has a
// rollout running or paused, with the reason.
bool InsertRollout(sqlite3* db, Rollout& rollout, std::string& error);

// Applies an operator's command outside the writer (the operator's
// command line, on the same file); false with the reason.
bool ApplyRolloutCommand(sqlite3* db, const RolloutCommand& command, std::string& error);

// The stage list as stored ("1,10,50,100") and back.
std::string PercentsText(const std::vector<Stage>& stages);
