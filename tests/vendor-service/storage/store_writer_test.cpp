#include "storage/store_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A store whose answers the test decides, recording every batch.
struct FakeStore {
    std::mutex mutex;
    std::condition_variable changed;
    CommitResult answer = CommitResult::Committed;
    bool hold = false;  // commits wait while set
    std::vector<size_t> batches;
    std::vector<std::string> bodies;
    long long nextId = 1;
    int connects = 0;
    int disconnects = 0;

    StoreBackend Backend() {
        StoreBackend backend;
        backend.connect = [this](std::string&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++connects;
            return true;
        };
        backend.disconnect = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ++disconnects;
            changed.notify_all();
        };
        backend.commit = [this](const std::vector<const PendingRow*>& rows, std::vector<long long>& ids,
                                std::string& error) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return !hold; });
            if (answer != CommitResult::Committed) {
                error = "falla";
                return answer;
            }
            batches.push_back(rows.size());
            for (const PendingRow* row : rows) {
                bodies.push_back(row->rawBody);
                ids.push_back(nextId++);
            }
            changed.notify_all();
            return CommitResult::Committed;
        };
        backend.maintain = [] { return false; };
        return backend;
    }
    void Set(CommitResult result, bool holding) {
        std::lock_guard<std::mutex> lock(mutex);
        answer = result;
        hold = holding;
        changed.notify_all();
    }
    // Waits (a long while at most) until `done` holds.
    template <class Done>
    bool WaitFor(Done done) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 30s, done);
    }
};

PendingRow Row(const std::string& body) {
    PendingRow row;
    row.rawBody = body;
    return row;
}

// Outcomes as they arrive, from the writer's thread.
struct Outcomes {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<std::string, StoreOutcome>> list;
    StoreDone For(const std::string& name) {
        return [this, name](StoreOutcome outcome) {
            std::lock_guard<std::mutex> lock(mutex);
            list.emplace_back(name, outcome);
            arrived.notify_all();
        };
    }
    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, 30s, [&] { return list.size() >= count; });
    }
};

const auto Later = [] { return StoreWriter::Clock::now() + 1h; };

}  // namespace

TEST(StoreWriter, RowsQueuedDuringACommitGoInTheNextBatchTogether) {
    FakeStore store;
    Outcomes outcomes;
    StoreWriter writer(store.Backend(), WriterSettings());
    std::string error;
    ASSERT_TRUE(writer.Start(error));
    store.Set(CommitResult::Committed, true);
    ASSERT_TRUE(writer.Enqueue(Row("a"), Later(), outcomes.For("a")));
    // The writer is now inside the first commit (or about to be).
    while (writer.QueuedRows() != 1) std::this_thread::sleep_for(1ms);
    for (const char* name : {"b", "c", "d", "e", "f"}) ASSERT_TRUE(writer.Enqueue(Row(name), Later(), outcomes.For(name)));
    store.Set(CommitResult::Committed, false);
    ASSERT_TRUE(outcomes.WaitForCount(6));
    writer.Stop(1000);
    // "a" may have gone alone, or with some of the others if the writer had
    // not yet taken it: either way far fewer commits than rows, in order.
    EXPECT_LE(store.batches.size(), 2u);
    EXPECT_EQ(store.bodies, (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
    for (size_t i = 0; i < outcomes.list.size(); ++i) {
        EXPECT_TRUE(outcomes.list[i].second.stored);
        EXPECT_EQ(outcomes.list[i].second.id, static_cast<long long>(i) + 1);
    }
    EXPECT_EQ(writer.Counters().stored, 6u);
}

TEST(StoreWriter, ARequestToldNotStoredAtItsDeadlineStillGetsItsRowWrittenLater) {
    FakeStore store;
    Outcomes outcomes;
    WriterSettings settings;
    settings.firstRetryMs = 5;
    settings.lastRetryMs = 20;
    StoreWriter writer(store.Backend(), settings);
    std::string error;
    ASSERT_TRUE(writer.Start(error));
    store.Set(CommitResult::Busy, false);
    ASSERT_TRUE(writer.Enqueue(Row("ocupado"), StoreWriter::Clock::now() + 50ms, outcomes.For("ocupado")));
    ASSERT_TRUE(outcomes.WaitForCount(1));
    EXPECT_FALSE(outcomes.list[0].second.stored);
    EXPECT_EQ(writer.QueuedRows(), 1u);

    // A failing store is reconnected before the next try.
    store.Set(CommitResult::Failed, false);
    ASSERT_TRUE(store.WaitFor([&] { return store.disconnects >= 2; }));
    store.Set(CommitResult::Committed, false);
    ASSERT_TRUE(store.WaitFor([&] { return store.bodies.size() == 1; }));
    writer.Stop(1000);
    EXPECT_EQ(store.bodies[0], "ocupado");
    EXPECT_EQ(outcomes.list.size(), 1u);  // told once only
    const WriterCounters counters = writer.Counters();
    EXPECT_EQ(counters.stored, 1u);
    EXPECT_EQ(counters.answeredBeforeCommit, 1u);
    EXPECT_GE(counters.failedCommits, 2u);
    EXPECT_EQ(counters.lastError, "falla");
    EXPECT_GE(store.connects, 3);
}

TEST(StoreWriter, AFullQueueRefusesAtOnceAndStopTellsEveryoneLeft) {
    FakeStore store;
    Outcomes outcomes;
    WriterSettings settings;
    settings.maxQueuedBytes = sizeof(PendingRow) * 3 + 3000;
    settings.firstRetryMs = 5;
    StoreWriter writer(store.Backend(), settings);
    std::string error;
    ASSERT_TRUE(writer.Start(error));
    store.Set(CommitResult::Busy, false);
    ASSERT_TRUE(writer.Enqueue(Row(std::string(1000, 'a')), Later(), outcomes.For("a")));
    ASSERT_TRUE(writer.Enqueue(Row(std::string(1000, 'b')), Later(), outcomes.For("b")));
    EXPECT_FALSE(writer.Enqueue(Row(std::string(2000, 'c')), Later(), outcomes.For("c")));
    writer.Stop(50);
    ASSERT_EQ(outcomes.list.size(), 2u);
    EXPECT_EQ(outcomes.list[0].first, "a");
    EXPECT_FALSE(outcomes.list[0].second.stored);
    EXPECT_FALSE(outcomes.list[1].second.stored);
    const WriterCounters counters = writer.Counters();
    EXPECT_EQ(counters.refused, 1u);
    EXPECT_EQ(counters.lostAtStop, 2u);
    EXPECT_FALSE(writer.Enqueue(Row("tarde"), Later(), outcomes.For("tarde")));
}
