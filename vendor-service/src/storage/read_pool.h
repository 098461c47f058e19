// Reads of the store off the connections' threads: a few threads, each
// with a connection of its own, take tasks from a bounded queue. A check-in
// looks up its installation here, and every console page is read here, so
// a slow query never holds a request of another connection back.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"

class ReadPool {
public:
    ReadPool(std::string target, int threads, size_t maxQueued);
    ~ReadPool();
    ReadPool(const ReadPool&) = delete;
    ReadPool& operator=(const ReadPool&) = delete;

    // Queues a task; it gets a connection, or nullptr when the store cannot
    // be opened now. False when the queue is full (the task is dropped).
    bool Submit(std::function<void(const Database* db)> task);
    void Stop();

private:
    void Run();

    std::string target_;
    size_t maxQueued_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void(const Database*)>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
