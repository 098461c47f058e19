// The console's data as JSON under /panel/api/, for scripts: the same
// records the pages show.
#pragma once
#include <string>
#include <vector>

#include "console/console_model.h"

std::string SummaryJson(const FleetSummary& summary);
std::string RolloutsJson(const std::vector<Rollout>& rollouts);
std::string RolloutJson(const RolloutView& view);
std::string ReleasesJson(const std::vector<Release>& releases);
std::string FailuresJson(const std::vector<FailureRow>& rows);
std::string InstallationsJson(const std::vector<InstallationLine>& lines);
std::string InstallationJson(const InstallationHistory& history);
