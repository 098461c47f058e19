// What the console shows, read from the store: the fleet, each rollout's
// funnel and what its stages wait for, a release's health, one
// installation's facts. Every text here that an agent sent is hostile and
// is escaped where it is shown. (Lists of rows are read by the list
// helper, console/list_view.h.)
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "console/html.h"
#include "rollouts/rollout_model.h"
#include "storage/rollout_history.h"

struct CountRow {
    std::string first;   // e.g. a product
    std::string second;  // e.g. a program version
    long long count = 0;
};

struct FleetSummary {
    int days = 30;
    long long installations = 0;   // with history: seen on two distinct days at least
    long long withoutHistory = 0;  // the others (new ones, and any a stranger makes up)
    std::vector<CountRow> byProductAndVersion;
    std::vector<CountRow> agentVersions;
    std::vector<CountRow> windowsVersions;
    std::vector<Rollout> rollouts;
};

struct FailureCount {
    std::string step;
    long long code = 0;
    long long installations = 0;
};

// One row of a rollout's funnel: the installations a stage reaches (those
// placed below its percentage, and the pilots), so each row holds the ones
// above it and the last one is the whole rollout.
struct StageFunnel {
    Stage stage;
    long long targeted = 0;
    long long offered = 0;
    long long downloadStarted = 0;
    long long downloaded = 0;
    long long withOutcome = 0;  // reported at least once
    long long reportedOk = 0;
    long long failed = 0;
    long long confirmed = 0;    // a later check-in showed the new version
    long long unconfirmed = 0;  // a later check-in still showed the old one
    std::vector<FailureCount> failures;
    // The stage's own band (not the rows above): installations that count
    // in the rollout, their networks, and the outcomes they could weigh at
    // most, for the warning that a stage can never advance as set.
    long long countable = 0;
    int countableNetworks = 0;
    double reachableWeight = 0;
};

struct RolloutView {
    Rollout rollout;
    std::vector<StageFunnel> stages;
    std::vector<StageCounts> decisions;  // per stage: what counts in its halt and advance, and what is kept apart
    std::vector<double> acknowledged;    // per stage: weighed failures an operator acknowledged on resuming
    long long retryable = 0;             // failed installations that never reported OK, not retried yet
};

// A chart's window: 24 hours by hour, 7 days by 6 hours, 30 days by day.
struct ChartWindow {
    std::string key;  // "24h", "7d", "30d"
    std::string label;
    int64_t seconds = 0;
    int64_t bucketSeconds = 0;
};

// The window a query string asks for ("ventana=7d"), else 7 days.
ChartWindow WindowOf(const std::string& key);
std::vector<ChartWindow> ChartWindows();

// Outcomes over a window, bucket by bucket.
struct OutcomeSeries {
    int64_t from = 0;  // Unix seconds of the first bucket
    int64_t bucketSeconds = 3600;
    std::vector<long long> oks;
    std::vector<long long> failures;
    long long oksBefore = 0;  // OK reports before the window: where the adoption curve starts
};

// A release's (or a rollout's) health: its failure rate beside the
// previous release of the same program, its outcomes over time, its
// failures by step and code.
struct ReleaseHealth {
    std::vector<long long> rolloutIds;
    long long outcomes = 0;  // installations with an outcome
    long long failed = 0;    // of those, with a failure
    bool hasPrevious = false;
    Release previous;
    long long previousOutcomes = 0;
    long long previousFailed = 0;
    OutcomeSeries series;
    std::vector<FailureGroup> groups;
};

struct InstallationFacts {
    bool found = false;
    std::string id;
    std::string product;
    std::string hostname;
    std::string programVersion;
    std::string installedPath;
    std::string clientAddress;
    std::string agentVersion;
    std::string windowsVersion;
    std::string firstSeen;
    std::string lastSeen;
    long long checkIns = 0;
    long long daysSeen = 0;
};
