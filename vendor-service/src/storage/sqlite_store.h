// The embedded store: one SQLite file in WAL mode.
//
// Durability: synchronous=NORMAL in WAL mode. Every commit is in the log
// before the writer reports it, so a row answered 200 survives the
// service's crash or kill -9 ("transactions are durable across application
// crashes regardless of the synchronous setting"); a power cut may roll
// back the last commits, never leave a torn database.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/pending_row.h"
#include "storage/sqlite_handles.h"

struct SqliteStoreSettings {
    std::string path;
    int retentionDays = 90;                          // rows older than this are removed
    uint64_t maxBytes = uint64_t{1024} * 1024 * 1024;  // the rows' pages are held under this, oldest go first
    int busyMs = 50;                                 // a writer's wait for another process's lock, per try
    size_t rowsPerMaintenanceStep = 1000;
    // Told (from the writer's thread, right after the commit, before any
    // request hears of it) of each rollout a batch halted or paused.
    std::function<void(long long rolloutId)> onRolloutStopped;
};

// Opens the file (creating it) and brings it to the current layout. False
// with the reason, and the exit code for the command: 1 when it cannot be
// opened or written, 2 when its layout is refused.
bool OpenSqliteStore(const std::string& path, SqliteConnection& db, std::string& error, int& exitCode);

// The writer's view of the store; it owns a connection of its own.
StoreBackend SqliteBackend(const SqliteStoreSettings& settings);

// Moves the write-ahead log into the database once a second from a thread
// and connection of its own, so that no commit pays for it.
class SqliteCheckpointer {
public:
    explicit SqliteCheckpointer(std::string path) : path_(std::move(path)) {}
    ~SqliteCheckpointer() { Stop(); }
    SqliteCheckpointer(const SqliteCheckpointer&) = delete;
    SqliteCheckpointer& operator=(const SqliteCheckpointer&) = delete;
    void Start(int everyMs = 1000);
    void Stop();

private:
    std::string path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

struct StoredRow {
    std::map<std::string, std::string> values;  // column name to text (NULL as "")
};

// The last `count` rows of a kind, newest first.
std::vector<StoredRow> LastRows(sqlite3* db, ReportKind kind, int count, std::string& error);

// The used size of the database: its pages less the free ones.
uint64_t SqliteUsedBytes(sqlite3* db);
