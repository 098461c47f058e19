// Decisions for resuming a cut package transfer with a byte range request.
// No Win32 here: the WinINet loop in url_fetch.cpp asks these.
#pragma once
#include <cstdint>
#include <string>

enum class ResumeAction { Append, StartOver, Fail };

// Further attempts after the first transfer is cut.
constexpr int ResumeAttempts = 3;

// What to do with the answer to "Range: bytes=<held>-": a 206 whose
// Content-Range is exactly "bytes <held>-<total - 1>/<total>", and whose
// Content-Length (when it has one: `contentLength` > 0) is the rest, is
// appended; a 200 starts over from zero; anything else fails the fetch.
ResumeAction DecideResume(unsigned long status, const std::string& contentRange, std::uint64_t held,
                          std::uint64_t total, std::uint64_t contentLength = 0);

// The request header for the rest, "Range: bytes=<held>-\r\n".
std::string RangeHeader(std::uint64_t held);

// What names the version of the file whose head is held, for If-Range: the
// first answer's ETag when it is a strong one, else (no ETag at all) its
// Last-Modified date, else nothing. Values are taken as the answer's
// headers gave them; one holding a line break counts as none.
std::string IfRangeValidator(const std::string& etag, const std::string& lastModified);

// False when the held head may not be resumed: its answer had a weak ETag,
// which may not stand in If-Range, and a date may not stand in for an ETag
// (a file replaced within the same second would be joined to the old
// head). The transfer then starts again from its first byte.
bool CanResumeFrom(const std::string& etag);

// The request headers for the rest: the Range header, and with a validator
// "If-Range: <validator>\r\n", so that a server whose file has changed
// answers 200 with the whole new file instead of a part of it.
std::string ResumeHeaders(std::uint64_t held, const std::string& validator);

// The wait before further attempt k (1-based): 2 s, 4 s, 8 s.
unsigned long ResumeWaitMs(int attempt);
