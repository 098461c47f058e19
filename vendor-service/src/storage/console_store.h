// The console's reads of the store.
#pragma once
#include <string>
#include <vector>

#include "console/console_model.h"
#include "storage/database.h"

bool ReadFleetSummary(const Database& db, int days, FleetSummary& summary, std::string& error);
bool ReadRolloutView(const Database& db, long long id, RolloutView& view, std::string& error);
bool ReadFailures(const Database& db, std::vector<FailureRow>& rows, std::string& error);
bool ReadFailureInstallations(const Database& db, long long rolloutId, const std::string& step, long long code,
                              std::vector<InstallationLine>& lines, std::string& error);
bool SearchInstallations(const Database& db, const std::string& text, std::vector<InstallationLine>& lines,
                         std::string& error);
// False when there is no such installation (error empty) or the store failed.
bool ReadInstallationHistory(const Database& db, const std::string& id, InstallationHistory& history, std::string& error);
