// The single writer of the store. Requests queue their rows and go on;
// one thread commits them in batches (one transaction for many rows) and
// tells each request when its row is through. A request that cannot wait
// longer gets "not stored yet" at its deadline; its row stays queued and is
// still written when the store comes back. The queue is bounded: a row
// that does not fit is refused at once.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "storage/pending_row.h"

struct WriterSettings {
    // Told (from the writer's thread) when commits start failing, with the
    // reason, and when they go through again.
    std::function<void(bool healthy, const std::string& error)> onHealthChange;
    // Told (from the writer's thread) of every batch once it is committed.
    std::function<void(const std::vector<const PendingRow*>& rows)> onCommitted;
    size_t maxBatchRows = 1000;
    size_t maxQueuedBytes = size_t{32} * 1024 * 1024;
    int firstRetryMs = 50;
    int lastRetryMs = 1000;
    int maintenanceEveryMs = 1000;
};

struct WriterCounters {
    uint64_t stored = 0;
    uint64_t answeredBeforeCommit = 0;  // requests told "not stored yet"
    uint64_t refused = 0;               // rows that did not fit in the queue
    uint64_t lostAtStop = 0;            // rows still queued when the writer stopped
    uint64_t failedCommits = 0;
    std::string lastError;
};

class StoreWriter {
public:
    using Clock = std::chrono::steady_clock;

    StoreWriter(StoreBackend backend, WriterSettings settings);
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    // Starts the thread and connects. False, with the reason, when the
    // store cannot be reached yet: rows then wait in the queue while the
    // writer keeps trying.
    bool Start(std::string& error);

    // Queues a row. `done` is called once, from the writer's thread: with
    // stored=true when its commit is through, or with stored=false at
    // `deadline` if that comes first. False when the queue is full: the row
    // is not kept and `done` is never called.
    bool Enqueue(PendingRow row, Clock::time_point deadline, StoreDone done);

    // Commits what it can within `waitMs`, then ends the thread; rows left
    // are counted as lost at stop, and their requests told "not stored".
    void Stop(int waitMs);

    WriterCounters Counters();
    size_t QueuedRows();

private:
    struct Entry {
        PendingRow row;
        size_t bytes = 0;
        Clock::time_point deadline;
        StoreDone done;  // empty once called
    };
    using Calls = std::vector<std::pair<StoreDone, StoreOutcome>>;

    void Run();
    void ExpireDeadlines(Clock::time_point now, Calls& calls);
    void DropAll(Calls& calls);
    bool MaintainIfDue(std::unique_lock<std::mutex>& lock, Clock::time_point now);
    bool CommitFront(std::unique_lock<std::mutex>& lock, Calls& calls);
    Clock::time_point NextWake(Clock::time_point now) const;

    StoreBackend backend_;
    WriterSettings settings_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    size_t queuedBytes_ = 0;
    bool stopping_ = false;
    Clock::time_point stopDeadline_;
    bool connected_ = false;
    Clock::time_point retryAt_;
    int retryMs_ = 0;
    bool healthy_ = true;
    Clock::time_point maintainAt_;
    WriterCounters counters_;
    std::thread thread_;
};
