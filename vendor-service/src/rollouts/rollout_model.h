// Releases and their rollouts, as the store keeps them and the rules and
// the console read them. Statuses are words stored as text, the same from
// the store to the page.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace rollout_status {
inline constexpr char Running[] = "EN_CURSO";
inline constexpr char Paused[] = "PAUSADO";
inline constexpr char Halted[] = "DETENIDO";   // by the operator, or by itself on failures
inline constexpr char Finished[] = "TERMINADO";  // past its last stage: offered to the whole targeted fleet
}  // namespace rollout_status

struct Release {
    long long id = 0;
    std::string product;  // the check-in's "Programa"
    std::string version;  // the program version the package installs
    std::string url;      // the package address offered to agents
    std::string servedPath;  // "/paquetes/..." when this service serves the file, else empty
    uint64_t size = 0;
    std::string sha256;  // lower-case hex
    std::string createdAt;
    std::string signature;  // the vendor's, offered as "firma" (base64 of r || s); empty: unsigned
    // The vendor's release statement of the package, offered as
    // "declaracion" and "declaracion_firma" (both base64); empty: none.
    std::string statement;
    std::string statementSignature;
};

// The program versions a release replaces: a list, or a range (both ends
// included, compared part by part as numbers).
struct Targeting {
    std::vector<std::string> versions;
    std::string from;
    std::string to;
};

struct Stage {
    bool pilot = false;    // the pilot hosts only
    double percent = 0;    // of the targeted fleet, by place in the rollout
};

struct RolloutSettings {
    std::vector<Stage> stages;
    std::vector<std::string> pilotHosts;  // lower case
    // Outcomes a stage needs before it may advance, and before its failure
    // rate counts: with 20 and 10 %, one unlucky failure early in a stage
    // (of a release that fails for 0.5 %) does not halt it; three do.
    int minOutcomes = 20;
    int maxFailures = 0;           // failed installations that halt a stage at once; 0: no such limit
    double maxFailureRate = 0.10;  // failed share of a stage's outcomes that halts it
    int soakSeconds = 3600;     // a stage's time before it may advance by itself
    bool autoAdvance = true;
    // An installation that reported (a failure, or an OK no later check-in
    // confirmed) is offered the release again only after this pause, and
    // only while it has reported fewer than maxAttempts times.
    int retryPauseSeconds = 24 * 3600;
    int maxAttempts = 3;
    // Who counts (rollout_rules.h, CountsInRollout): installations first
    // seen before the rollout started, and with these set, at least so many
    // days before it and seen on so many distinct days.
    int minAgeDays = 0;
    int minDaysSeen = 0;
    // A stage halts or advances only on outcomes from this many networks
    // (IPv4 /24, IPv6 /48), and no network weighs more than `networkWeight`
    // installations in its counts (0: no such cap).
    int minNetworks = 3;
    int networkWeight = 5;
};

struct Rollout {
    long long id = 0;
    Release release;
    Targeting targeting;
    RolloutSettings settings;
    std::string status = rollout_status::Running;
    int currentStage = 0;
    int64_t stageStartedAt = 0;  // Unix seconds
    int64_t startedMs = 0;       // when the rollout began, Unix milliseconds
    std::string haltReason;
    std::string createdAt;
    // The pilot hosts' installations that count in the rollout (the rollout
    // cache reads them; a pilot's name alone does not make one).
    std::unordered_set<std::string> pilots;
};

// A rollout's package, and the product it is for: an offer's token counts
// for that file and that product only.
struct RolloutFile {
    std::string product;
    std::string url;
    std::string servedPath;  // empty for a package on another host
};

// What the store knows of one installation in one rollout.
struct InstallationInRollout {
    bool known = false;
    int offers = 0;
    int outcomes = 0;
    int failures = 0;
    int64_t lastOutcomeAt = 0;  // Unix seconds of its last report
    int64_t lastOutcomeMs = 0;  // the same in milliseconds: tells one report from the next within a second
    bool putBack = false;       // its agent put the previous program back: never offered the release again
};

// Outcomes of the installations first offered the release in one stage:
// those that count (the vendor's fleet) and those that do not ("sin
// historial": installations the service had not seen before the rollout).
struct StageCounts {
    int outcomes = 0;  // counted installations with at least one report
    int failures = 0;  // of those, installations with a failed report
    // The same with each network weighing at most the rollout's network weight.
    double weightedOutcomes = 0;
    double weightedFailures = 0;
    int networks = 0;        // networks with counted outcomes
    int failedNetworks = 0;  // networks with counted failures
    int uncountedOutcomes = 0;
    int uncountedFailures = 0;
};

// One network's counted outcomes in one stage.
struct NetworkTally {
    int outcomes = 0;
    int failures = 0;
};
