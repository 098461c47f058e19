// Access, for administrators: the operators and their roles, and the API
// tokens of scripts and build pipelines (scoped, revocable, shown once).
#pragma once
#include "console/console_call.h"

bool RouteAccess(const CallPtr& call, const Database& db);
