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
#include <vector>

#include "rollouts/rollout_model.h"

// A named value; empty when it was not given.
using FieldOf = std::function<std::string(const std::string& name)>;

// Why a request was refused: the text, in Spanish, and the name of the
// value at fault (empty when it is the request as a whole), for the
// caller to name it as its user knows it: "--soak-minutes" on the command
// line, the form's label in the console.
struct RequestError {
    std::string field;
    std::string text;
    bool needsName = false;  // the text says what is wrong, not with what ("debe ser un número ...")
    // The text, after the field's name where it needs one ("--soak-minutes debe ser ...").
    std::string Named(const std::string& name) const { return needsName ? name + " " + text : text; }
};

// A release of a file served from `dataRoot`'s "archivos" (its size and
// SHA-256 taken from the file) or of an outside https address (size and
// SHA-256 given), with the vendor's statement of it when "statement" is
// given (refused unless it states this very release). False with the
// reason, in Spanish.
bool ReadReleaseRequest(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                        Release& release, RequestError& error);

// The targeting and settings of a new rollout (its release is "release").
bool ReadRolloutRequest(const FieldOf& field, long long& releaseId, Rollout& rollout, RequestError& error);

// The product keys releases may name: the agent's catalogue, and those
// given (the store's releases and fleet). False for any other, with the
// nearest known key in `nearest` when one is a few letters away.
bool IsKnownProduct(const std::string& product, const std::vector<std::string>& others, std::string& nearest);
std::vector<std::string> CatalogueProducts();
