// A rollout's history for its charts and its failure table: outcomes per
// hour (reports, failed ones, OK ones), and failures by step and code with
// their first and last report and the latest message. Counted by the
// writer as each report is written, in the same transaction, so a chart
// over a million reports reads a few hundred rows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "storage/database.h"

// A report linked to a rollout, counted in its hour and, failed, in its group.
SqlResult CountInHistory(const Database& db, long long rolloutId, int64_t receivedUnix, const std::string& receivedAt,
                         bool ok, const std::string& step, long long code, const std::string& message);

struct HourCounts {
    int64_t hour = 0;  // Unix seconds / 3600
    long long outcomes = 0;
    long long failures = 0;
    long long oks = 0;
};

// The hours from `fromHour` on of some rollouts, summed; `oksBefore` the OK
// reports before that hour (where an adoption curve starts).
bool ReadRolloutHours(const Database& db, const std::vector<long long>& rolloutIds, int64_t fromHour,
                      std::vector<HourCounts>& hours, long long& oksBefore, std::string& error);

struct FailureGroup {
    std::string step;
    long long code = 0;
    long long reports = 0;
    std::string firstAt;  // stored UTC times
    std::string lastAt;
    std::string message;
    long long installations = 0;  // whose latest failure is this one
};

// Failures of some rollouts by step and code, last seen since `sinceUtc`,
// the most installations first.
bool ReadFailureGroups(const Database& db, const std::vector<long long>& rolloutIds, const std::string& sinceUtc,
                       std::vector<FailureGroup>& groups, std::string& error);

// Installations with an outcome, and with a failure, over some rollouts.
bool ReadOutcomeTotals(const Database& db, const std::vector<long long>& rolloutIds, long long& outcomes,
                       long long& failed, std::string& error);
