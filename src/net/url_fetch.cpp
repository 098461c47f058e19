#include "net/url_fetch.h"

#include <windows.h>
#include <wininet.h>

#include "net/body_reader.h"
#include "net/download_progress.h"
#include "net/inet_handle.h"
#include "net/net_constants.h"
#include "net/resume_rules.h"

namespace {

// `headers` empty: none added; otherwise CRLF-terminated request headers.
bool OpenUrl(const char* userAgent, const std::string& url, ScopedInternet& root, ScopedInternet& request,
             const std::string& headers = std::string()) {
    root.Reset(InternetOpenA(userAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!root) return false;
    const char* extra = headers.empty() ? nullptr : headers.c_str();
    const DWORD extraLength = headers.empty() ? 0 : static_cast<DWORD>(-1);
    request.Reset(InternetOpenUrlA(root.Get(), url.c_str(), extra, extraLength, INTERNET_FLAG_RELOAD, 0));
    return static_cast<bool>(request);
}

// The announced Content-Length, 0 when there is none (or it is not positive).
std::uint64_t AnnouncedLength(HINTERNET request) {
    char text[32] = {};
    DWORD size = sizeof text;
    DWORD index = 0;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return 0;
    const long long length = ParseContentLength(text);
    return length > 0 ? static_cast<std::uint64_t>(length) : 0;
}

DWORD StatusOf(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    return status;
}

// A header's text, empty when there is none (or it is longer than any
// value the fetch has a use for).
std::string HeaderText(HINTERNET request, DWORD query) {
    char text[256] = {};
    DWORD size = sizeof text - 1;
    DWORD index = 0;
    if (!HttpQueryInfoA(request, query, text, &size, &index)) return std::string();
    return std::string(text, size);
}

std::string ContentRangeOf(HINTERNET request) {
    return HeaderText(request, HTTP_QUERY_CONTENT_RANGE);
}

ChunkSource ReaderOf(const ScopedInternet& request) {
    return [&request](unsigned char* buffer, std::uint32_t capacity) {
        ChunkRead chunk;
        DWORD read = 0;
        chunk.ok = InternetReadFile(request.Get(), buffer, capacity, &read) != 0;
        chunk.count = read;
        if (!chunk.ok) chunk.errorCode = GetLastError();
        return chunk;
    };
}

void PublishProgress(std::int32_t percent) {
    DownloadProgress.store(percent);
}

bool FailWith(std::vector<unsigned char>& body, unsigned long& errorCode, unsigned long code) {
    body.clear();
    body.shrink_to_fit();
    errorCode = code;
    return false;
}

// Pictures and RTF documents: every body counts, a failed read ends it; a
// body past the limit fails the fetch and is not kept.
bool FetchLoosely(const char* userAgent, const std::string& url, std::size_t limit,
                  std::vector<unsigned char>& body) {
    ScopedInternet root, request;
    if (!OpenUrl(userAgent, url, root, request)) return false;
    unsigned long errorCode = 0;
    const BoundedEnd end = ReadBoundedBody(ReaderOf(request), SmallReadChunk, limit, body, errorCode);
    if (end == BoundedEnd::TooLarge || end == BoundedEnd::OutOfMemory) return false;
    return !body.empty();
}

// The state of a resumable fetch across its attempts.
struct ResumableFetch {
    const std::string* url = nullptr;
    const PackageFetchOptions* options = nullptr;
    std::vector<unsigned char>* body = nullptr;
    std::uint64_t total = 0;  // the Content-Length of the answer the held bytes belong to
    std::string validator;    // its ETag or Last-Modified, for If-Range
    bool resumable = true;    // false after a weak ETag: a further attempt asks for the whole file
    unsigned long errorCode = 0;
};

// Takes the answer's length and version as those of the bytes it brings.
void TakeAnswerFacts(ResumableFetch& fetch, HINTERNET request) {
    fetch.total = AnnouncedLength(request);
    const std::string etag = HeaderText(request, HTTP_QUERY_ETAG);
    fetch.validator = IfRangeValidator(etag, HeaderText(request, HTTP_QUERY_LAST_MODIFIED));
    fetch.resumable = CanResumeFrom(etag);
}

enum class AttemptEnd { Complete, Cut, Final };

// Reserves the announced length once; the held bytes never move afterwards.
bool ReserveTotal(ResumableFetch& fetch) {
    return ReservePackageBody(*fetch.body, fetch.total);
}

// False (errorCode BodyTooLarge) for an answer announcing more than the
// caller takes; nothing of it is read.
bool WithinLimit(ResumableFetch& fetch) {
    const std::uint64_t limit = fetch.options->lengthLimit;
    if (limit == 0 || fetch.total <= limit) return true;
    fetch.errorCode = BodyTooLarge;
    return false;
}

// Reads one answer's body into the held bytes.
AttemptEnd ReadAttempt(ResumableFetch& fetch, const ScopedInternet& request) {
    const AppendEnd end = AppendPackageBody(ReaderOf(request), PackageReadChunk, fetch.total, *fetch.body,
                                            fetch.errorCode, PublishProgress, fetch.options->onBytes);
    if (end == AppendEnd::Complete) return AttemptEnd::Complete;
    return end == AppendEnd::Cut ? AttemptEnd::Cut : AttemptEnd::Final;
}

// The first request: as the single fetch, but a cut keeps what arrived.
AttemptEnd FirstAttempt(ResumableFetch& fetch) {
    ScopedInternet root, request;
    if (!OpenUrl(PackageUserAgent, *fetch.url, root, request)) {
        fetch.errorCode = GetLastError();
        return AttemptEnd::Final;
    }
    const DWORD status = StatusOf(request.Get());
    if (status < 200 || status > 299) {
        fetch.errorCode = status;
        return AttemptEnd::Final;
    }
    TakeAnswerFacts(fetch, request.Get());
    if (!WithinLimit(fetch)) return AttemptEnd::Final;
    if (fetch.total > 0 && !ReserveTotal(fetch)) {
        fetch.errorCode = BodyOutOfMemory;
        return AttemptEnd::Final;
    }
    return ReadAttempt(fetch, request);
}

// A further request for the bytes after those held.
AttemptEnd ResumeAttempt(ResumableFetch& fetch) {
    ScopedInternet root, request;
    // A head that may not be resumed is asked for again whole (no Range).
    const std::string headers = fetch.resumable ? ResumeHeaders(fetch.body->size(), fetch.validator) : std::string();
    if (!OpenUrl(PackageUserAgent, *fetch.url, root, request, headers)) {
        fetch.errorCode = GetLastError();
        return AttemptEnd::Cut;  // the link is still down: another attempt may reach it
    }
    const DWORD status = StatusOf(request.Get());
    const std::uint64_t held = fetch.resumable ? fetch.body->size() : 0;
    switch (DecideResume(status, ContentRangeOf(request.Get()), held, fetch.total, AnnouncedLength(request.Get()))) {
        case ResumeAction::Append:
            if (!fetch.resumable) {  // a part nobody asked for
                fetch.errorCode = status;
                return AttemptEnd::Final;
            }
            break;
        case ResumeAction::StartOver:  // the whole file, maybe another version of it
            fetch.body->clear();  // keeps the reserved capacity
            if (fetch.options->onStartOver) fetch.options->onStartOver();
            TakeAnswerFacts(fetch, request.Get());
            if (!WithinLimit(fetch)) return AttemptEnd::Final;
            if (fetch.total > 0 && !ReserveTotal(fetch)) {
                fetch.errorCode = BodyOutOfMemory;
                return AttemptEnd::Final;
            }
            break;
        case ResumeAction::Fail:
            fetch.errorCode = status;
            return AttemptEnd::Final;
    }
    return ReadAttempt(fetch, request);
}

// Only a transfer cut after some bytes arrived is worth resuming.
bool ShouldResume(AttemptEnd end, const ResumableFetch& fetch) {
    return end == AttemptEnd::Cut && !fetch.body->empty();
}

}  // namespace

bool DownloadUrlBytes_URL(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode) {
    PackageFetchOptions single;
    single.resumeAttempts = 0;
    return DownloadUrlBytes_URL(url, body, errorCode, single);
}

bool DownloadUrlBytes_Image(const std::string& url, std::vector<unsigned char>& body) {
    return FetchLoosely(ImageUserAgent, url, ImageBodyLimit, body);
}

bool DownloadUrlBytes_Image(const std::string& url, std::vector<unsigned char>& body, std::size_t limit) {
    return FetchLoosely(ImageUserAgent, url, limit < ImageBodyLimit ? limit : ImageBodyLimit, body);
}

bool DownloadUrlBytes_Rtf(const std::string& url, std::vector<unsigned char>& body) {
    return FetchLoosely(RtfUserAgent, url, RtfBodyLimit, body);
}

bool DownloadUrlBytes_URL(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode,
                          const PackageFetchOptions& options) {
    errorCode = 0;
    body.clear();
    ResumableFetch fetch;
    fetch.url = &url;
    fetch.options = &options;
    fetch.body = &body;
    AttemptEnd end = FirstAttempt(fetch);
    for (int attempt = 1; attempt <= options.resumeAttempts && ShouldResume(end, fetch); ++attempt) {
        Sleep(ResumeWaitMs(attempt));
        if (options.onResume) options.onResume(fetch.resumable ? body.size() : 0, attempt);
        end = ResumeAttempt(fetch);
    }
    if (end != AttemptEnd::Complete) return FailWith(body, errorCode, fetch.errorCode);
    if (body.empty()) return FailWith(body, errorCode, 0);
    return true;
}
