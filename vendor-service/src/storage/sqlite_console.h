// The console's reads of the SQLite store.
#pragma once
#include <sqlite3.h>

#include <string>
#include <vector>

#include "console/console_model.h"

bool ReadFleetSummary(sqlite3* db, int days, FleetSummary& summary, std::string& error);
bool ReadRolloutView(sqlite3* db, long long id, RolloutView& view, std::string& error);
bool ReadFailures(sqlite3* db, std::vector<FailureRow>& rows, std::string& error);
bool ReadFailureInstallations(sqlite3* db, long long rolloutId, const std::string& step, long long code,
                              std::vector<InstallationLine>& lines, std::string& error);
bool SearchInstallations(sqlite3* db, const std::string& text, std::vector<InstallationLine>& lines,
                         std::string& error);
// False when there is no such installation (error empty) or the store failed.
bool ReadInstallationHistory(sqlite3* db, const std::string& id, InstallationHistory& history, std::string& error);
