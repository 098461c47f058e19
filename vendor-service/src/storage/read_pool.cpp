#include "storage/read_pool.h"

#include "storage/sqlite_handles.h"

namespace {

constexpr int ReaderBusyMs = 2000;

}  // namespace

ReadPool::ReadPool(std::string path, int threads, size_t maxQueued) : path_(std::move(path)), maxQueued_(maxQueued) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

ReadPool::~ReadPool() {
    Stop();
}

bool ReadPool::Submit(std::function<void(sqlite3*)> task) {
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
    SqliteConnection db;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, with nothing left to do
        std::function<void(sqlite3*)> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        if (!db.IsOpen()) {
            std::string error;
            db.Open(path_, false, ReaderBusyMs, error);
        }
        task(db.IsOpen() ? db.Get() : nullptr);
        // A connection left in an error state is opened again next time.
        if (db.IsOpen() && sqlite3_errcode(db.Get()) != SQLITE_OK && sqlite3_errcode(db.Get()) != SQLITE_ROW &&
            sqlite3_errcode(db.Get()) != SQLITE_DONE) {
            db.Close();
        }
        lock.lock();
    }
}
