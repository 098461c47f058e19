#include "storage/store_writer.h"

#include <algorithm>

namespace {

size_t RowBytes(const PendingRow& row) {
    size_t bytes = sizeof(PendingRow) + row.rawBody.size() + row.receivedAt.size() + row.clientAddress.size();
    for (const ColumnValue& value : row.report.columns) bytes += sizeof(ColumnValue) + value.text.size();
    return bytes;
}

}  // namespace

StoreWriter::StoreWriter(StoreBackend backend, WriterSettings settings)
    : backend_(std::move(backend)), settings_(std::move(settings)) {}

StoreWriter::~StoreWriter() {
    Stop(0);
}

bool StoreWriter::Start(std::string& error) {
    connected_ = backend_.connect(error);
    if (!connected_) {
        counters_.lastError = error;
        healthy_ = false;
    }
    maintainAt_ = Clock::now();
    thread_ = std::thread([this] { Run(); });
    return connected_;
}

bool StoreWriter::Enqueue(PendingRow row, Clock::time_point deadline, StoreDone done) {
    const size_t bytes = RowBytes(row);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !thread_.joinable() || queuedBytes_ + bytes > settings_.maxQueuedBytes) {
            ++counters_.refused;
            return false;
        }
        queue_.push_back(Entry{std::move(row), bytes, deadline, std::move(done)});
        queuedBytes_ += bytes;
    }
    wake_.notify_one();
    return true;
}

void StoreWriter::Stop(int waitMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        stopDeadline_ = Clock::now() + std::chrono::milliseconds(waitMs);
    }
    wake_.notify_one();
    thread_.join();
    if (connected_) backend_.disconnect();
    connected_ = false;
}

WriterCounters StoreWriter::Counters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

size_t StoreWriter::QueuedRows() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void StoreWriter::ExpireDeadlines(Clock::time_point now, Calls& calls) {
    for (Entry& entry : queue_) {
        if (entry.done && entry.deadline <= now) {
            calls.emplace_back(std::move(entry.done), StoreOutcome{false, 0});
            entry.done = nullptr;
            ++counters_.answeredBeforeCommit;
        }
    }
}

// Commits the rows at the front of the queue; the lock is released while
// the store works. False when the commit did not go through.
bool StoreWriter::CommitFront(std::unique_lock<std::mutex>& lock, Calls& calls) {
    const size_t count = std::min(queue_.size(), settings_.maxBatchRows);
    std::vector<const PendingRow*> rows;
    rows.reserve(count);
    // Only this thread removes entries, and a deque keeps references to its
    // elements valid while others are appended.
    for (size_t i = 0; i < count; ++i) rows.push_back(&queue_[i].row);
    lock.unlock();
    std::string error;
    std::vector<long long> ids;
    CommitResult result = CommitResult::Failed;
    if (!connected_) connected_ = backend_.connect(error);
    if (connected_) result = backend_.commit(rows, ids, error);
    if (result == CommitResult::Failed && connected_) {
        backend_.disconnect();
        connected_ = false;
    }
    const bool committed = result == CommitResult::Committed && ids.size() == count;
    if (committed != healthy_ && settings_.onHealthChange) settings_.onHealthChange(committed, error);
    if (committed && settings_.onCommitted) settings_.onCommitted(rows);
    healthy_ = committed;
    lock.lock();
    if (!committed) {
        ++counters_.failedCommits;
        counters_.lastError = error;
        retryMs_ = retryMs_ == 0 ? settings_.firstRetryMs : std::min(retryMs_ * 2, settings_.lastRetryMs);
        retryAt_ = Clock::now() + std::chrono::milliseconds(retryMs_);
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        Entry& entry = queue_.front();
        if (entry.done) calls.emplace_back(std::move(entry.done), StoreOutcome{true, ids[i]});
        queuedBytes_ -= entry.bytes;
        queue_.pop_front();
    }
    counters_.stored += count;
    retryMs_ = 0;
    return true;
}

StoreWriter::Clock::time_point StoreWriter::NextWake(Clock::time_point now) const {
    Clock::time_point next = now + std::chrono::milliseconds(settings_.maintenanceEveryMs);
    if (connected_) next = std::min(next, maintainAt_);
    if (!queue_.empty()) next = std::min(next, std::max(retryAt_, now));
    for (const Entry& entry : queue_) {
        if (entry.done) next = std::min(next, entry.deadline);
    }
    if (stopping_) next = std::min(next, stopDeadline_);
    return next;
}

void StoreWriter::DropAll(Calls& calls) {
    for (Entry& entry : queue_) {
        if (entry.done) calls.emplace_back(std::move(entry.done), StoreOutcome{false, 0});
    }
    counters_.lostAtStop += queue_.size();
    queue_.clear();
    queuedBytes_ = 0;
}

// One short housekeeping step when due, even under a steady flood; true
// when it ran.
bool StoreWriter::MaintainIfDue(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
    if (stopping_ || !connected_ || now < maintainAt_) return false;
    lock.unlock();
    const bool more = backend_.maintain();
    lock.lock();
    maintainAt_ = more ? Clock::now() : Clock::now() + std::chrono::milliseconds(settings_.maintenanceEveryMs);
    return true;
}

void StoreWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        Calls calls;
        const Clock::time_point now = Clock::now();
        ExpireDeadlines(now, calls);
        const bool stopNow = stopping_ && (queue_.empty() || now >= stopDeadline_);
        if (stopNow) DropAll(calls);
        bool worked = MaintainIfDue(lock, now);
        if (!stopNow && !queue_.empty() && now >= retryAt_) {
            CommitFront(lock, calls);
            worked = true;
        }
        if (!calls.empty()) {
            lock.unlock();
            for (auto& [done, outcome] : calls) done(outcome);
            lock.lock();
        }
        if (stopNow) return;
        if (!worked) wake_.wait_until(lock, NextWake(Clock::now()));
    }
}
