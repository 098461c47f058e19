// Whole URL bodies fetched into memory with WinINet.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/body_reader.h"
#include "net/resume_rules.h"

// The update package. Publishes DownloadProgress from the Content-Length.
// True only for a complete body (status 200..299, no failed read, exactly
// the announced length when there is one, not empty). On failure errorCode is the HTTP status,
// the system error code of the failed step (8 when memory ran out), or 0 for
// an empty body; the body is then empty.
bool DownloadUrlBytes_URL(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode);

// Options of the resumable package fetch.
struct PackageFetchOptions {
    // Told of each further attempt: the bytes already held and the attempt
    // number (1..ResumeAttempts), just before its request is sent.
    std::function<void(std::uint64_t held, int attempt)> onResume;
    // Further attempts after a cut; 0 fetches once.
    int resumeAttempts = ResumeAttempts;
    // Told of the body's bytes as they arrive, in order (a resumed transfer
    // goes on from the bytes held), and when the bytes held are dropped
    // because the server sent the whole file again.
    ByteSink onBytes;
    std::function<void()> onStartOver;
    // When not 0: an answer announcing more bytes than this fails at once
    // (errorCode BodyTooLarge), as one bringing more than it announced does.
    std::uint64_t lengthLimit = 0;
};

// The same fetch, resumed when the transfer is cut after some bytes arrived
// (a failed read, or fewer bytes than the first answer's Content-Length):
// up to ResumeAttempts further requests with "Range: bytes=<held>-" and an
// If-Range naming the held head's version (its answer's strong ETag, else,
// with no ETag, its Last-Modified), after ResumeWaitMs(k); a head whose
// answer had a weak ETag is asked for again whole. A fitting 206 (the exact
// rest, by Content-Range and Content-Length) is appended to the bytes held,
// a 200 (the whole file, maybe a newer one) starts over, any other answer
// fails, and so does any answer that brings more than its announced total.
// Failure reports as the fetch above does.
bool DownloadUrlBytes_URL(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode,
                          const PackageFetchOptions& options);

// Alert pictures and the update banner; RTF documents. True when at least
// one byte arrived, whatever the status (an error page comes back as a body).
// A body longer than ImageBodyLimit or RtfBodyLimit fails the fetch (false,
// body empty), as does memory running out.
bool DownloadUrlBytes_Image(const std::string& url, std::vector<unsigned char>& body);
// The same with a lower bound than ImageBodyLimit (what a document's
// picture budget has left).
bool DownloadUrlBytes_Image(const std::string& url, std::vector<unsigned char>& body, std::size_t limit);
bool DownloadUrlBytes_Rtf(const std::string& url, std::vector<unsigned char>& body);
