// One structured line per request, written by a thread of its own so that
// a slow or stuck reader of the log (a full pipe nobody reads, a slow disk)
// never holds a request back. Lines that do not fit in the bounded buffer
// are dropped and counted; the count is logged once the reader catches up.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct AccessRecord {
    std::string client;
    std::string via;  // the balancer it came through, when the client is named by one
    std::string method;
    std::string host;
    std::string target;
    int status = 0;
    uint64_t bytesIn = 0;   // the request's body
    uint64_t bytesOut = 0;  // the answer's body
    double milliseconds = 0;
    std::string note;
};

// Current UTC time as "YYYY-MM-DDThh:mm:ss.mmmZ".
std::string UtcNowMillisText();

// "<time> client=.. method=.. host=.. target=.. status=.. in=.. out=.. ms=.. [note=..]":
// every value escaped, so the line holds no blank inside a value and no
// control byte.
std::string AccessLogLine(const std::string& time, const AccessRecord& record);

// "<time> event=<name> [key=value]...": a line about the service itself;
// `fields` are already "key=value" pieces with escaped values.
std::string EventLogLine(const std::string& time, const std::string& name, const std::string& fields = "");

class AccessLog {
public:
    // Writes to `fd` (not owned); at most `bufferBytes` wait to be written.
    AccessLog(int fd, size_t bufferBytes);
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    // Queues one line (a line break is added); never blocks on the reader.
    void Write(const std::string& line);
    uint64_t Dropped();
    // Writes what it can within `waitMs`, then ends the thread.
    void Stop(int waitMs);

private:
    void Run();
    size_t WriteOut(const std::string& text);

    int fd_;
    size_t bufferBytes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string pending_;
    uint64_t dropped_ = 0;
    uint64_t droppedReported_ = 0;
    bool stopping_ = false;
    std::atomic<bool> stopRequested_{false};
    std::chrono::steady_clock::time_point stopDeadline_;
    std::thread thread_;
};
