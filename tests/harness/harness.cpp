// Calls one agent operation, named on the command line, and prints its
// outcome as one JSON line, so end-to-end tests can drive single operations
// under Wine against the test servers.
//
//   harness download-file <url> <target>         DownloadToFile with an error code
//   harness download-file-nocode <url> <target>  DownloadToFile without one
#include <windows.h>

#include <cstdio>
#include <string>

#include "net/download_file.h"

namespace {

int DownloadFile(const std::wstring& url, const std::wstring& target, bool wantCode) {
    unsigned long code = 12345;
    const bool ok = DownloadToFile(url, target, wantCode ? &code : nullptr);
    if (wantCode) {
        std::printf("{\"ok\":%s,\"error\":%lu}\n", ok ? "true" : "false", code);
    } else {
        std::printf("{\"ok\":%s}\n", ok ? "true" : "false");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring verb = argv[1];
    if (verb == L"download-file" && argc == 4) return DownloadFile(argv[2], argv[3], true);
    if (verb == L"download-file-nocode" && argc == 4) return DownloadFile(argv[2], argv[3], false);
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
