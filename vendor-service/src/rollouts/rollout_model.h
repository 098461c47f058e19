// Releases and their rollouts, as the store keeps them and the rules and
// the console read them. Statuses are words stored as text, the same from
// the store to the page.
#pragma once
#include <cstdint>
#include <string>
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
};

struct Rollout {
    long long id = 0;
    Release release;
    Targeting targeting;
    RolloutSettings settings;
    std::string status = rollout_status::Running;
    int currentStage = 0;
    int64_t stageStartedAt = 0;  // Unix seconds
    std::string haltReason;
    std::string createdAt;
};

// What the store knows of one installation in one rollout.
struct InstallationInRollout {
    bool known = false;
    int offers = 0;
    int outcomes = 0;
    int failures = 0;
    int64_t lastOutcomeAt = 0;  // Unix seconds of its last report
};

// Outcomes of the installations first offered the release in one stage.
struct StageCounts {
    int outcomes = 0;  // installations with at least one report
    int failures = 0;  // of those, installations with a failed report
};
