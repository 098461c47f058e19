// The console's reads of the store that are no plain list of rows (those
// go through the list helper).
#pragma once
#include <string>
#include <vector>

#include "console/console_model.h"
#include "storage/database.h"

bool ReadFleetSummary(const Database& db, int days, FleetSummary& summary, std::string& error);
bool ReadRolloutView(const Database& db, long long id, RolloutView& view, std::string& error);
// Rollouts halted since a stored UTC time, newest first, a few at most.
bool ReadHaltAlerts(const Database& db, const std::string& sinceUtc, std::vector<HaltAlert>& alerts,
                    std::string& error);
// The health of a release's rollouts (or of one rollout, `rolloutId` not 0)
// over a window ending `now`.
bool ReadReleaseHealth(const Database& db, const Release& release, long long rolloutId, const ChartWindow& window,
                       int64_t now, ReleaseHealth& health, std::string& error);
// False when there is no such installation (error empty) or the store failed.
bool ReadInstallationFacts(const Database& db, const std::string& id, InstallationFacts& facts, std::string& error);
