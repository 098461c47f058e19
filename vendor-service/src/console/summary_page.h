// The summary: the fleet by product, program, agent and Windows versions,
// the last day's outcomes and changes, and the rollouts; and the halted
// rollouts every page shows (/panel/api/alertas).
#pragma once
#include "console/console_call.h"

bool RouteSummary(const CallPtr& call, const Database& db);
