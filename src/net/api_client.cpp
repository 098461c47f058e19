#include "net/api_client.h"

#include <windows.h>
#include <wininet.h>

#include "build_settings.h"
#include "net/api_texts.h"
#include "net/body_reader.h"
#include "net/inet_handle.h"
#include "net/net_constants.h"

namespace {

constexpr DWORD RequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;

void SetNumberOption(HINTERNET handle, DWORD option, DWORD value) {
    InternetSetOptionA(handle, option, &value, sizeof value);
}

// Relaxed certificate date checks and the client's time-outs, on the root handle.
void ConfigureRoot(HINTERNET root) {
    DWORD flags = 0;
    DWORD size = sizeof flags;
    InternetQueryOptionA(root, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    SetNumberOption(root, INTERNET_OPTION_SECURITY_FLAGS, flags | ApiIgnoredCertificateFlags);
    SetNumberOption(root, INTERNET_OPTION_CONNECT_TIMEOUT, ApiConnectTimeoutMs);
    SetNumberOption(root, INTERNET_OPTION_SEND_TIMEOUT, ApiSendTimeoutMs);
    SetNumberOption(root, INTERNET_OPTION_RECEIVE_TIMEOUT, ApiReceiveTimeoutMs);
}

// Windows passes the root's time-outs on to the handles made from it; Wine's
// WinINet takes the send and receive time-outs from the connection only.
void ConfigureConnection(HINTERNET connection) {
    SetNumberOption(connection, INTERNET_OPTION_SEND_TIMEOUT, ApiSendTimeoutMs);
    SetNumberOption(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, ApiReceiveTimeoutMs);
}

// Reads the whole response, keeping every byte (zero bytes included). False,
// with the body emptied and the system error code, when a read fails part-way,
// the answer is longer than any the service sends (BodyTooLarge) or memory
// for the text runs out: a cut body must not pass for a whole one.
bool ReadResponse(HINTERNET request, std::string& body, DWORD& errorCode) {
    const ChunkSource source = [request](unsigned char* buffer, std::uint32_t capacity) {
        ChunkRead chunk;
        DWORD read = 0;
        chunk.ok = InternetReadFile(request, buffer, capacity, &read) != 0;
        chunk.count = read;
        if (!chunk.ok) chunk.errorCode = GetLastError();
        return chunk;
    };
    unsigned long code = 0;
    const BoundedEnd end = ReadBoundedBody(source, ApiReadBufferSize - 1, ApiAnswerLimit, body, code);
    if (end == BoundedEnd::Complete) return true;
    body.clear();
    errorCode = code;
    return false;
}

DWORD QueryStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    return status;
}

bool Fail(std::string& errorText, ApiStep step, bool isPost, DWORD code) {
    errorText = ApiStepErrorText(step, isPost, code);
    return false;
}

bool ApiRequest(bool isPost, const std::string& objectPath, const std::string& body, std::string& responseBody,
                std::string& errorText) {
    responseBody.clear();
    errorText.clear();

    const std::string userAgent = ApiUserAgent();
    ScopedInternet root(InternetOpenA(userAgent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!root) return Fail(errorText, ApiStep::Open, isPost, GetLastError());
    ConfigureRoot(root.Get());

    ScopedInternet connection(
        InternetConnectA(root.Get(), settings::ApiHost, ApiPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return Fail(errorText, ApiStep::Connect, isPost, GetLastError());
    ConfigureConnection(connection.Get());

    ScopedInternet request(HttpOpenRequestA(connection.Get(), isPost ? "POST" : "GET", objectPath.c_str(), nullptr,
                                            nullptr, nullptr, RequestFlags, 0));
    if (!request) return Fail(errorText, ApiStep::OpenRequest, isPost, GetLastError());

    const std::string headers = isPost ? ApiPostHeaders() : ApiGetHeaders();
    void* sendBody = isPost ? const_cast<char*>(body.data()) : nullptr;
    const DWORD sendLength = isPost ? static_cast<DWORD>(body.size()) : 0;
    if (!HttpSendRequestA(request.Get(), headers.c_str(), static_cast<DWORD>(headers.size()), sendBody, sendLength)) {
        return Fail(errorText, ApiStep::Send, isPost, GetLastError());
    }

    DWORD readError = 0;
    if (!ReadResponse(request.Get(), responseBody, readError)) {
        return Fail(errorText, ApiStep::Read, isPost, readError);
    }
    const DWORD status = QueryStatus(request.Get());
    if (IsSuccessStatus(status)) return true;
    errorText = ApiStatusErrorText(status);
    return false;
}

}  // namespace

bool ApiPostJson(const std::string& objectPath, const std::string& jsonBody, std::string& responseBody,
                 std::string& errorText) {
    return ApiRequest(true, objectPath, jsonBody, responseBody, errorText);
}

bool ApiGetJson(const std::string& objectPathWithQuery, std::string& responseBody, std::string& errorText) {
    return ApiRequest(false, objectPathWithQuery, std::string(), responseBody, errorText);
}
