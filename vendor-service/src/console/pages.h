// The console's pages, rendered on the server from what the store holds.
#pragma once
#include <string>
#include <vector>

#include "console/console_model.h"
#include "console/html.h"

std::string LoginPage(const std::string& csrf, const std::string& message);
std::string SummaryPage(const PageFrame& frame, const FleetSummary& summary);
std::string RolloutsPage(const PageFrame& frame, const std::vector<Rollout>& rollouts,
                         const std::vector<Release>& releases, const std::string& message);
std::string RolloutPage(const PageFrame& frame, const RolloutView& view, const std::string& message);
std::string ReleasesPage(const PageFrame& frame, const std::vector<Release>& releases, const std::string& message);
std::string FailuresPage(const PageFrame& frame, const std::vector<FailureRow>& rows);
std::string InstallationListPage(const PageFrame& frame, const std::string& heading, const std::string& search,
                                 const std::vector<InstallationLine>& lines);
std::string InstallationPage(const PageFrame& frame, const InstallationHistory& history);
std::string MessagePage(const PageFrame& frame, const std::string& text);
