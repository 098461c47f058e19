// The store: SQLite in one file (the embedded default), or PostgreSQL when
// the service is given a connection string. One writer per service commits
// the queued rows in batches (store_writer.h); this is its view of the
// store, and the commands' way to open it.
//
// Durability: SQLite runs in WAL mode with synchronous=NORMAL. Every commit
// is in the log before the writer reports it, so a row answered 200
// survives the service's crash or kill -9 ("transactions are durable across
// application crashes regardless of the synchronous setting"); a power cut
// may roll back the last commits, never leave a torn database. PostgreSQL
// commits as its server is set up to (synchronous_commit on by default).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/fleet_store.h"
#include "storage/pending_row.h"

struct StoreSettings {
    std::string target;                                // a SQLite file, or a PostgreSQL connection string
    int retentionDays = 90;                            // rows older than this are removed
    uint64_t maxBytes = uint64_t{1024} * 1024 * 1024;  // the rows are held under this size, oldest go first
    int busyMs = 50;                                   // a SQLite writer's wait for another process's lock, per try
                                                       // (PostgreSQL's writer waits a second for a row lock)
    size_t rowsPerMaintenanceStep = 1000;
    FleetLimits fleet;
    // Told (from the writer's thread, right after the commit, before any
    // request hears of it) of each rollout a batch halted or paused.
    std::function<void(long long rolloutId)> onRolloutStopped;
};

// A connection to the store a target names (creating a SQLite file when asked).
bool OpenDatabase(const std::string& target, bool create, int busyMs, Database& db, std::string& error);

// Opens the store and brings it to the current layout. False with the
// reason, and the exit code for a command: 1 when it cannot be opened or
// written, 2 when its layout is refused.
bool OpenStore(const std::string& target, Database& db, std::string& error, int& exitCode);

// The writer's view of the store; it owns a connection of its own.
StoreBackend MakeStoreBackend(const StoreSettings& settings);

// Moves SQLite's write-ahead log into the database once a second from a
// thread and connection of its own, so that no commit pays for it.
// PostgreSQL does its own: the checkpointer then does nothing.
class Checkpointer {
public:
    explicit Checkpointer(std::string target) : target_(std::move(target)) {}
    ~Checkpointer() { Stop(); }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;
    void Start(int everyMs = 1000);
    void Stop();

private:
    std::string target_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

struct StoredRow {
    std::map<std::string, std::string> values;  // column name to text (NULL as "")
};

// The last `count` rows of a kind, newest first.
std::vector<StoredRow> LastRows(const Database& db, ReportKind kind, int count, std::string& error);

// The size the rows take: SQLite's pages less the free ones; for
// PostgreSQL, the report and installation rows' estimated size.
uint64_t UsedBytes(const Database& db);

// The service's secret for installation ids and offer tokens, from the
// store (PostgreSQL: every instance reads the same one; made by the first).
bool SharedSecret(const Database& db, const std::string& proposed, std::string& secret, std::string& error);
// The secret a store holds (a copy from PostgreSQL brings it), without
// changing anything; false when it holds none or cannot be read.
bool ReadStoredSecret(const std::string& target, std::string& secret);
