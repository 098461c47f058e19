// The rollouts: their list, one rollout's page (its health, what its
// stages wait for, its funnel, what decides each stage, its installations
// and history, and its controls, recovery from a halt among them), the
// form that starts one (prefilled from another), and its actions.
#pragma once
#include <string>
#include <vector>

#include "console/console_call.h"

// True when the path is one of these pages or actions (then answered).
bool RouteRollouts(const CallPtr& call, const Database& db);

// The rollouts as a list; its cells drawn by RolloutCells.
ListPlan RolloutListPlan(const std::string& name, const std::vector<std::string>& products);
std::string RolloutCell(size_t column, const SqlRow& row);
