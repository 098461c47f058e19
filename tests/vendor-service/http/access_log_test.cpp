#include "http/access_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

TEST(AccessLog, OneEscapedLinePerRequest) {
    AccessRecord record;
    record.client = "127.0.0.1";
    record.method = "POST";
    record.host = "api.marvek.example\x1b[1A";
    record.target = "/apis/trevanto/v1/checkin\r\n2026 forged";
    record.status = 200;
    record.bytesIn = 312;
    record.bytesOut = 1633;
    record.milliseconds = 1.25;
    record.note = "stored";
    EXPECT_EQ(AccessLogLine("2026-12-09T10:00:00.000Z", record),
              "2026-12-09T10:00:00.000Z client=127.0.0.1 method=POST host=api.marvek.example\\x1b[1A"
              " target=/apis/trevanto/v1/checkin\\x0d\\x0a2026\\x20forged status=200 in=312 out=1633 ms=1.250"
              " note=stored");
    EXPECT_EQ(EventLogLine("T", "listening", "port=443"), "T event=listening port=443");
}

// A pipe that nobody reads fills up; writing to the log must go on without
// waiting, dropping and counting what does not fit, and the count reaches
// the reader once it reads again.
TEST(AccessLog, AReaderThatStopsReadingNeverHoldsAWriterBack) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const std::string line(200, 'x');
    {
        AccessLog log(fds[1], 64 * 1024);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 5000; ++i) log.Write(line);  // 1 MB against a 64 KB pipe and a 64 KB buffer
        // Not a speed target: a writer that blocked would never get here.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_GT(log.Dropped(), 4000u);
        const uint64_t dropped = log.Dropped();
        // Now read: what was queued comes through, then the counts.
        std::string read;
        char buffer[65536];
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        const std::string mark = "event=log-dropped count=";
        uint64_t reported = 0;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (reported != dropped && std::chrono::steady_clock::now() < give_up) {
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            read.append(buffer, static_cast<size_t>(n));
            reported = 0;
            for (size_t at = read.find(mark); at != std::string::npos; at = read.find(mark, at + 1)) {
                if (read.find('\n', at) != std::string::npos) reported += std::stoull(read.substr(at + mark.size()));
            }
        }
        EXPECT_EQ(reported, dropped);
        EXPECT_EQ(read.substr(0, line.size() + 1), line + "\n");
        EXPECT_EQ(read.back(), '\n');
        log.Stop(100);
    }
    close(fds[0]);
    close(fds[1]);
}
