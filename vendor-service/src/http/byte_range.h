// The answer to a "Range" request header for a file of known size.
#pragma once
#include <cstdint>
#include <string>

struct RangeDecision {
    int status = 200;          // 200 whole file, 206 part, 416 not satisfiable
    uint64_t first = 0;        // first byte to send (206)
    uint64_t last = 0;         // last byte to send, inclusive (206)
    std::string contentRange;  // Content-Range value for 206 and 416, else empty
};

// Decides on one "bytes=N-" or "bytes=N-M" range. A missing header, a suffix
// range, several ranges or anything unreadable (including M < N) are ignored:
// 200 with the whole file. N at or past the end is 416; M past the end is cut
// to the last byte.
RangeDecision DecideRange(const std::string& header, uint64_t size);
