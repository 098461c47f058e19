// A row on its way into the store, and what became of it.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agents/report_parsing.h"

// What a check-in tells of its installation, and the offer it was answered with.
struct CheckInFacts {
    std::string installationId;
    std::string product;
    std::string hostname;
    std::string installedPath;
    std::string programVersion;
    std::string agentVersion;
    std::string windowsVersion;
    long long offeredRollout = 0;  // 0: no offer in the answer
    int offeredStage = 0;
    double place = 0;
};

// An update report whose offer token verified.
struct ReportLink {
    std::string installationId;
    long long rolloutId = 0;
    // The agent put its previous program back (the new one did not start):
    // the installation is never offered the release again.
    bool putBack = false;
};

// A download of an offered package (its token verified): begun, or with
// the file's last byte sent.
struct DownloadEvent {
    std::string installationId;
    long long rolloutId = 0;
    bool completed = false;
};

// An operator's command on a rollout.
struct RolloutCommand {
    long long rolloutId = 0;
    std::string action;  // "pausar", "reanudar", "avanzar", "detener"
    std::string operatorName;
};

struct PendingRow {
    ReportKind kind = ReportKind::CheckIn;
    std::string receivedAt;  // UTC, "YYYY-MM-DDThh:mm:ssZ"
    int64_t receivedUnix = 0;
    int64_t receivedMs = 0;  // the same in milliseconds: tells a check-in after an OK of the same second
    std::string clientAddress;
    std::string rawBody;
    ParsedReport report;
    // A row that is no report carries one of these instead of a body.
    bool isReport = true;
    std::optional<CheckInFacts> checkIn;
    std::optional<ReportLink> link;
    // An acceptance whose document address carries an installation's token.
    std::string acceptedBy;
    std::optional<DownloadEvent> download;
    std::optional<RolloutCommand> command;
};

struct StoreOutcome {
    bool stored = false;  // its commit is through
    long long id = 0;     // the row's id when stored; for a command, 1 when it changed the rollout
};

using StoreDone = std::function<void(StoreOutcome)>;

// What the writer needs of a store: one batch committed in one
// transaction, and its housekeeping between batches.
enum class CommitResult {
    Committed,
    Busy,    // another writer holds the database: try again soon
    Failed,  // disk full, read-only, I/O error...: reconnect, then try again
};

struct StoreBackend {
    // (Re)connects; false with the reason.
    std::function<bool(std::string& error)> connect;
    std::function<void()> disconnect;
    // Writes every row in one transaction, filling ids in row order.
    std::function<CommitResult(const std::vector<const PendingRow*>& rows, std::vector<long long>& ids,
                               std::string& error)>
        commit;
    // One short step of retention, size keeping and rollouts advancing by
    // themselves; true while more is to do.
    std::function<bool()> maintain;
};
