// A request and its answer as the routes see them: no sockets, no library
// types, so a route can be driven by a test without any network.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct HeaderField {
    std::string name;
    std::string value;
};

struct Request {
    std::string method;  // as sent: "GET", "HEAD", "POST", ...
    std::string target;  // as sent, with the query
    std::string path;    // the target's path, %XX decoded
    std::string query;   // the target's query, undecoded, without '?'
    std::vector<HeaderField> headers;
    std::string body;
    std::string clientAddress;
    bool hasBody = false;   // a Content-Length above 0 or a chunked body was announced
    uint64_t declaredLength = 0;  // the Content-Length; 0 when chunked or absent
    // A body the route had streamed to a file (Admission::bodyFile): the
    // file, its size and its SHA-256; the handler publishes or removes it.
    std::string bodyFile;
    uint64_t bodyFileBytes = 0;
    std::string bodyFileSha256;
};

// The first value of a header (names compared in any letter case); empty
// when absent.
std::string HeaderValue(const std::vector<HeaderField>& headers, const std::string& name);

// Every value of a list header, in order, joined by commas (several fields
// of one name are one list).
std::string JoinedHeaderValues(const std::vector<HeaderField>& headers, const std::string& name);

// The value of one query parameter, %XX and '+' decoded; empty when absent.
std::string QueryValue(const std::string& query, const std::string& name);

// An open file closed with its last owner.
struct OpenFile {
    int fd = -1;
    OpenFile() = default;
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
};

struct Response {
    int status = 200;
    std::vector<HeaderField> headers;  // Content-Length is added when sent
    std::string body;
    // A part of a file sent after the headers instead of `body`.
    std::shared_ptr<OpenFile> file;
    uint64_t fileOffset = 0;
    uint64_t fileLength = 0;
    uint64_t fileSize = 0;         // of the whole file, for a part of one
    bool closeConnection = false;  // the request's body was left unread, or the route says so
    std::string logNote;           // a word for the request's log line ("stored", "not-stored", ...)
    // Told, from the connection's thread, once the answer is sent: complete
    // when its last byte went out.
    std::function<void(bool complete)> onFinished;
};

// Hands a route's answer back to the connection; may be called from any
// thread, exactly once.
using Respond = std::function<void(Response)>;

// A JSON answer.
Response JsonResponse(int status, std::string body);

// {"error":"<text>"} with the status.
Response ErrorResponse(int status, const std::string& text);

// An address with "name=value" added to its query ("?" or "&"), before
// any fragment. The value is written as given.
std::string WithQueryValue(const std::string& url, const std::string& name, const std::string& value);

// The value of a query parameter of a whole address; empty when none.
std::string QueryValueOfUrl(const std::string& url, const std::string& name);

// Decodes %XX escapes; false for a malformed escape.
bool DecodePercent(const std::string& text, std::string& decoded);

// Splits a request target into its decoded path and raw query; false when
// the path cannot be decoded.
bool SplitTarget(const std::string& target, std::string& path, std::string& query);
