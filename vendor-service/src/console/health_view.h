// A release's health as the rollout and release pages show it: the
// failure rate beside the previous release's, the adoption curve and the
// failures over the chosen window, and the failures by step and code.
#pragma once
#include <string>

#include "console/console_model.h"

// `path` and `query` are the page's own (the window links keep the rest);
// failures link to their installations with `failureQuery` in front
// ("despliegue=7" or "version=3").
std::string HealthHtml(const ReleaseHealth& health, const ChartWindow& window, const std::string& path,
                       const std::string& query, const TimeZone& zone, const std::string& failureQuery);

// The same figures as JSON members for the API.
std::string HealthJson(const ReleaseHealth& health, const ChartWindow& window);
