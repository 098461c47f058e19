// A row on its way into the store, and what became of it.
#pragma once
#include <functional>
#include <string>

#include "agents/report_parsing.h"

struct PendingRow {
    ReportKind kind = ReportKind::CheckIn;
    std::string receivedAt;  // UTC, "YYYY-MM-DDThh:mm:ssZ"
    std::string clientAddress;
    std::string rawBody;
    ParsedReport report;
};

struct StoreOutcome {
    bool stored = false;  // its commit is through
    long long id = 0;     // the row's id when stored
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
    // One short step of retention and size keeping; true while more is to do.
    std::function<bool()> maintain;
};
