// The agents' API: the check-in, the two reports and the agent version.
#pragma once
#include "routes/routes.h"

// A POST to one of the agents' paths, its key already checked.
void HandleAgentPost(ServiceContext& context, const Request& request, Respond respond);

Response AnswerAgentVersion(const ServiceContext& context, const Request& request);

int64_t UnixMilliseconds();
