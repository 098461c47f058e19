// The installations: the whole fleet as a list (searched by host name or
// id, filtered by product, version and Windows), and one installation's
// facts and history.
#pragma once
#include "console/console_call.h"

bool RouteInstallations(const CallPtr& call, const Database& db);
