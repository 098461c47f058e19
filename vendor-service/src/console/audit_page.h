// The audit log: every change with who and when, filtered and exported
// like every list.
#pragma once
#include "console/console_call.h"

bool RouteAudit(const CallPtr& call, const Database& db);
