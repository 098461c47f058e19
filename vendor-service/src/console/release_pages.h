// The releases: their list, the form that adds one (the product chosen
// from the catalogue), and one release's health page.
#pragma once
#include <string>
#include <vector>

#include "console/console_call.h"

bool RouteReleases(const CallPtr& call, const Database& db);

// The products a release may name: the catalogue's and the store's, sorted.
std::vector<std::string> ReleaseProducts(const Database& db);
