#include "storage/read_pool.h"

#include "storage/store.h"

namespace {

constexpr int ReaderBusyMs = 2000;

}  // namespace

ReadPool::ReadPool(std::string target, int threads, size_t maxQueued)
    : target_(std::move(target)), maxQueued_(maxQueued) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

ReadPool::~ReadPool() {
    Stop();
}

bool ReadPool::Submit(std::function<void(const Database*)> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || tasks_.size() >= maxQueued_) return false;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
    return true;
}

void ReadPool::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

void ReadPool::Run() {
    Database db;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, with nothing left to do
        std::function<void(const Database*)> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        if (!db.IsOpen()) {
            std::string error;
            if (!OpenDatabase(target_, false, ReaderBusyMs, db, error)) db = Database();
        }
        task(db.IsOpen() ? &db : nullptr);
        // A connection that failed is opened again next time.
        if (db.IsOpen() && !db.Run("SELECT 1").Ok()) {
            db.close();
            db = Database();
        }
        lock.lock();
    }
}
