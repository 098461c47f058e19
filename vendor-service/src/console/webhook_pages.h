// Alerts: the vendor's webhooks (added, switched off and on, given a new
// secret, tried, removed by administrators) and the last events sent to
// them, with every attempt.
#pragma once
#include "console/console_call.h"

bool RouteWebhooks(const CallPtr& call, const Database& db);
