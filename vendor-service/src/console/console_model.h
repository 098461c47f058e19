// What the console shows, read from the store: the fleet, each rollout's
// funnel, failures by step and code, one installation's history. Every
// text here that an agent sent is hostile and is escaped where it is shown.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "rollouts/rollout_model.h"

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

// One stage of a rollout, from targeted to confirmed.
struct StageFunnel {
    Stage stage;
    long long targeted = 0;   // installations whose place (or pilot host) puts them in this stage
    long long offered = 0;
    long long downloadStarted = 0;
    long long downloaded = 0;
    long long reportedOk = 0;
    long long failed = 0;
    long long confirmed = 0;    // a later check-in showed the new version
    long long unconfirmed = 0;  // a later check-in still showed the old one
    std::vector<FailureCount> failures;
};

struct RolloutEvent {
    std::string at;
    std::string event;
    std::string detail;
};

// An installation in a list (a rollout's, a failure's, a search's).
struct InstallationLine {
    std::string id;
    std::string product;
    std::string hostname;
    std::string programVersion;
    std::string lastSeen;
    std::string note;  // its state in the rollout, when listed for one
};

struct RolloutView {
    Rollout rollout;
    std::vector<StageFunnel> stages;
    std::vector<StageCounts> decisions;  // per stage: what counts in its halt and advance, and what is kept apart
    std::vector<RolloutEvent> events;
    std::vector<InstallationLine> installations;  // the most recent ones offered
};

struct FailureRow {
    long long rolloutId = 0;  // 0: reports that no offer of ours names
    std::string product;
    std::string version;
    std::string step;
    long long code = 0;
    long long installations = 0;
};

struct InstallationHistory {
    bool found = false;
    InstallationLine installation;
    std::string installedPath;
    std::string clientAddress;
    std::string agentVersion;
    std::string windowsVersion;
    std::string firstSeen;
    long long checkIns = 0;
    struct Event {
        std::string at;
        std::string kind;     // "check-in", "oferta", "descarga", "informe", "aceptacion"
        std::string summary;  // agent text among it: escaped when shown
    };
    std::vector<Event> events;  // newest first
};
