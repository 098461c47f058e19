#include "http/access_log.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "http/text_escape.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pipe that reports room takes this much without blocking.
constexpr size_t AtomicWriteBytes = 4096;
constexpr int PollStepMs = 100;

}  // namespace

std::string UtcNowMillisText() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc = {};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

std::string AccessLogLine(const std::string& time, const AccessRecord& record) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, " status=%d in=%llu out=%llu ms=%.3f", record.status,
                  static_cast<unsigned long long>(record.bytesIn), static_cast<unsigned long long>(record.bytesOut),
                  record.milliseconds);
    std::string line = time + " client=" + EscapeLogValue(record.client);
    if (!record.via.empty()) line += " via=" + EscapeLogValue(record.via);
    line += " method=" + EscapeLogValue(record.method) + " host=" + EscapeLogValue(record.host) +
            " target=" + EscapeLogValue(record.target) + numbers;
    if (!record.note.empty()) line += " note=" + EscapeLogValue(record.note);
    return line;
}

std::string EventLogLine(const std::string& time, const std::string& name, const std::string& fields) {
    return time + " event=" + EscapeLogValue(name) + (fields.empty() ? "" : " " + fields);
}

AccessLog::AccessLog(int fd, size_t bufferBytes) : fd_(fd), bufferBytes_(bufferBytes) {
    thread_ = std::thread([this] { Run(); });
}

AccessLog::~AccessLog() {
    Stop(0);
}

void AccessLog::Write(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || pending_.size() + line.size() + 1 > bufferBytes_) {
            ++dropped_;
            return;
        }
        pending_ += line;
        pending_ += '\n';
    }
    wake_.notify_one();
}

uint64_t AccessLog::Dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void AccessLog::Stop(int waitMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        stopDeadline_ = Clock::now() + std::chrono::milliseconds(waitMs);
        stopRequested_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

// Writes `text` in pieces the descriptor takes without blocking, until all
// is written, the descriptor fails, or a stop's deadline has passed.
// Returns how much was written.
size_t AccessLog::WriteOut(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        pollfd ready = {fd_, POLLOUT, 0};
        const int polled = poll(&ready, 1, PollStepMs);
        if (polled < 0 && errno != EINTR) break;
        if (polled > 0) {
            if ((ready.revents & (POLLERR | POLLNVAL)) != 0) break;
            const size_t piece = std::min(text.size() - done, AtomicWriteBytes);
            const ssize_t n = write(fd_, text.data() + done, piece);
            if (n < 0 && errno != EINTR && errno != EAGAIN) break;
            if (n > 0) done += static_cast<size_t>(n);
        }
        if (stopRequested_ && Clock::now() >= stopDeadline_) break;
    }
    return done;
}

void AccessLog::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty() || dropped_ != droppedReported_; });
        std::string text;
        text.swap(pending_);
        if (dropped_ != droppedReported_) {
            text += EventLogLine(UtcNowMillisText(), "log-dropped",
                                 "count=" + std::to_string(dropped_ - droppedReported_)) + "\n";
            droppedReported_ = dropped_;
        }
        const bool stopping = stopping_;
        lock.unlock();
        // While this waits for a slow reader, Write() goes on filling
        // pending_ up to its bound.
        const size_t written = WriteOut(text);
        lock.lock();
        const auto lost = std::count(text.begin() + static_cast<std::ptrdiff_t>(written), text.end(), '\n');
        dropped_ += static_cast<uint64_t>(lost);
        droppedReported_ += static_cast<uint64_t>(lost);
        if (stopping || (stopping_ && Clock::now() >= stopDeadline_)) return;
    }
}
