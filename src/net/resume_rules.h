// Decisions for resuming a cut package transfer with a byte range request.
// No Win32 here: the WinINet loop in url_fetch.cpp asks these.
#pragma once
#include <cstdint>
#include <string>

enum class ResumeAction { Append, StartOver, Fail };

// Further attempts after the first transfer is cut.
constexpr int ResumeAttempts = 3;

// What to do with the answer to "Range: bytes=<held>-": a 206 whose
// Content-Range is exactly "bytes <held>-<total - 1>/<total>" is appended,
// a 200 starts over from zero, anything else fails the fetch.
ResumeAction DecideResume(unsigned long status, const std::string& contentRange, std::uint64_t held,
                          std::uint64_t total);

// The request header for the rest, "Range: bytes=<held>-\r\n".
std::string RangeHeader(std::uint64_t held);

// The wait before further attempt k (1-based): 2 s, 4 s, 8 s.
unsigned long ResumeWaitMs(int attempt);
