#include "net/download_file.h"

#include <windows.h>
#include <wininet.h>

#include "net/inet_handle.h"
#include "net/net_constants.h"
#include "support/file_probe.h"
#include "support/handles.h"

namespace {

constexpr DWORD TransferBufferSize = 0x10000;
constexpr DWORD DownloadFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE;

bool Fail(unsigned long* errorCode, DWORD code) {
    if (errorCode != nullptr) *errorCode = code;
    return false;
}

// Numeric HTTP header (status, Content-Length); false when it is absent.
bool QueryNumber(HINTERNET request, DWORD query, DWORD& value) {
    DWORD size = sizeof value;
    value = 0;
    return HttpQueryInfoW(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr) != 0;
}

// Copies the body into the open file. Returns 0 on success, else the error code.
DWORD StreamBody(HINTERNET request, HANDLE file, bool lengthKnown, DWORD announcedLength) {
    BYTE buffer[TransferBufferSize];
    DWORD total = 0;
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request, buffer, sizeof buffer, &read)) return GetLastError();
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, buffer, read, &written, nullptr) || written != read) {
            const DWORD error = GetLastError();
            return error != 0 ? error : ERROR_WRITE_FAULT;
        }
        total += read;
    }
    // A connection that ends before the announced length is a cut transfer.
    if (lengthKnown && total < announcedLength) return ERROR_INTERNET_CONNECTION_ABORTED;
    return 0;
}

// A target named *.exe is a program the agent will start or hand over to.
bool IsProgramTarget(const std::wstring& path) {
    const size_t n = path.size();
    return n >= 4 && lstrcmpiW(path.c_str() + n - 4, L".exe") == 0;
}

}  // namespace

bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, unsigned long* errorCode) {
    if (errorCode != nullptr) *errorCode = 0;

    ScopedInternet root(InternetOpenW(DownloaderUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root) return Fail(errorCode, GetLastError());
    ScopedInternet request(InternetOpenUrlW(root.Get(), url.c_str(), nullptr, 0, DownloadFlags, 0));
    if (!request) return Fail(errorCode, GetLastError());

    // An error page must never be stored under the target's name.
    DWORD status = 0;
    if (!QueryNumber(request.Get(), HTTP_QUERY_STATUS_CODE, status)) {
        const DWORD error = GetLastError();
        DeleteFileW(targetPath.c_str());
        return Fail(errorCode, error);
    }
    if (status < 200 || status > 299) {
        DeleteFileW(targetPath.c_str());
        return Fail(errorCode, status);
    }
    DWORD announcedLength = 0;
    const bool lengthKnown = QueryNumber(request.Get(), HTTP_QUERY_CONTENT_LENGTH, announcedLength);

    ScopedHandle file(CreateFileW(targetPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return Fail(errorCode, GetLastError());

    const DWORD streamError = StreamBody(request.Get(), file.Get(), lengthKnown, announcedLength);
    file.Close();
    if (streamError != 0) {
        DeleteFileW(targetPath.c_str());
        return Fail(errorCode, streamError);
    }
    // A proxy or portal page answered with 200 must not pass for a program.
    if (IsProgramTarget(targetPath) && !HasProgramSignature(targetPath)) {
        DeleteFileW(targetPath.c_str());
        return Fail(errorCode, ERROR_BAD_EXE_FORMAT);
    }
    return true;
}
