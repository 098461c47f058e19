#include "net/url_fetch.h"

#include <windows.h>
#include <wininet.h>

#include <new>

#include "net/body_reader.h"
#include "net/download_progress.h"
#include "net/inet_handle.h"
#include "net/net_constants.h"

namespace {

bool OpenUrl(const char* userAgent, const std::string& url, ScopedInternet& root, ScopedInternet& request) {
    root.Reset(InternetOpenA(userAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!root) return false;
    request.Reset(InternetOpenUrlA(root.Get(), url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
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

bool FailWith(std::vector<unsigned char>& body, unsigned long& errorCode, unsigned long code) {
    body.clear();
    body.shrink_to_fit();
    errorCode = code;
    return false;
}

// Pictures and RTF documents: every body counts, a failed read ends it.
bool FetchLoosely(const char* userAgent, const std::string& url, std::vector<unsigned char>& body) {
    ScopedInternet root, request;
    if (!OpenUrl(userAgent, url, root, request)) return false;
    try {
        std::vector<unsigned char> buffer(SmallReadChunk, 0);
        body.clear();
        for (;;) {
            DWORD read = 0;
            if (!InternetReadFile(request.Get(), buffer.data(), SmallReadChunk, &read) || read == 0) break;
            body.insert(body.end(), buffer.begin(), buffer.begin() + read);
        }
    } catch (const std::bad_alloc&) {
        body.clear();
        body.shrink_to_fit();
        return false;
    }
    return !body.empty();
}

}  // namespace

bool DownloadUrlBytes_URL(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode) {
    errorCode = 0;
    ScopedInternet root, request;
    if (!OpenUrl(PackageUserAgent, url, root, request)) {
        errorCode = GetLastError();
        return false;
    }
    // An error page must never be installed as the program.
    const DWORD status = StatusOf(request.Get());
    if (status < 200 || status > 299) return FailWith(body, errorCode, status);

    const ChunkSource readChunk = [&request](unsigned char* buffer, std::uint32_t capacity) {
        ChunkRead chunk;
        DWORD read = 0;
        chunk.ok = InternetReadFile(request.Get(), buffer, capacity, &read) != 0;
        chunk.count = read;
        if (!chunk.ok) chunk.errorCode = GetLastError();
        return chunk;
    };
    const ProgressSink publish = [](std::int32_t percent) { DownloadProgress.store(percent); };
    return ReadPackageBody(readChunk, PackageReadChunk, AnnouncedLength(request.Get()), body, errorCode, publish);
}

bool DownloadUrlBytes_Image(const std::string& url, std::vector<unsigned char>& body) {
    return FetchLoosely(ImageUserAgent, url, body);
}

bool DownloadUrlBytes_Rtf(const std::string& url, std::vector<unsigned char>& body) {
    return FetchLoosely(RtfUserAgent, url, body);
}
