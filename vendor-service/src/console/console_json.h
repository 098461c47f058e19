// The console's data as JSON under /panel/api/, for scripts: the same
// records the pages show. (Lists come as the list helper's JSON.)
#pragma once
#include <string>
#include <vector>

#include "console/console_model.h"
#include "console/list_view.h"

std::string SummaryJson(const FleetSummary& summary);
// A rollout with its funnel, decisions, what its stage waits for, the
// stages that cannot advance as set, its health (already JSON) and its
// latest history.
std::string RolloutJson(const RolloutView& view, const std::string& waiting, const std::vector<std::string>& warnings,
                        const std::string& healthJson, const ListRows& history);
std::string ReleaseJson(const Release& release, const std::string& healthJson);
std::string InstallationJson(const InstallationFacts& facts);
std::string HaltAlertsJson(const std::vector<HaltAlert>& alerts);
