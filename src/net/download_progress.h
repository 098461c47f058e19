// Progress of the current update's package transfer, shared between the
// update worker (writer) and the alerts window (reader). No Win32 here.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// Percent 0..100; the package fetch writes 0..70 (more when a body runs past
// its announced length). Readers clamp.
extern std::atomic<std::int32_t> DownloadProgress;

// The Content-Length header text as a signed decimal: leading blanks
// skipped, stops at the first non-digit, 0 when there are no digits.
long long ParseContentLength(const char* text);

// total * 70 / length in unsigned 64-bit arithmetic, truncated; no clamping.
std::int32_t TransferProgress(std::uint32_t total, std::uint64_t length);
