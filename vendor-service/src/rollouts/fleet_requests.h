// An operator's request for a new release or rollout, as the command line
// and the console both take it: named values (the same names in both:
// "product", "version", "file", "url", "size", "sha256"; "release",
// "replaces", "from", "to", "pilot", "stages", "min-outcomes",
// "max-failures", "max-failure-percent", "soak-minutes", "soak-seconds",
// "manual", "retry-hours", "max-attempts", "min-networks", "network-weight",
// "min-age-days", "min-days-seen"), checked and read into records.
#pragma once
#include <functional>
#include <string>

#include "rollouts/rollout_model.h"

// A named value; empty when it was not given.
using FieldOf = std::function<std::string(const std::string& name)>;

// A release of a file served from `dataRoot`'s "archivos" (its size and
// SHA-256 taken from the file) or of an outside https address (size and
// SHA-256 given), with the vendor's statement of it when "statement" is
// given (refused unless it states this very release). False with the
// reason, in Spanish.
bool ReadReleaseRequest(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                        Release& release, std::string& error);

// The targeting and settings of a new rollout (its release is "release").
bool ReadRolloutRequest(const FieldOf& field, long long& releaseId, Rollout& rollout, std::string& error);
