// Failures across releases by step and code, and the installations behind
// one of them.
#pragma once
#include "console/console_call.h"

bool RouteFailures(const CallPtr& call, const Database& db);
