// The floor of the package benchmarks: the least a Win32 program must do to
// fetch a package the way the agent does, and (for the ZIP benchmark) to
// store it, unpack it with 7za.exe and move the new executable in.
//
//   floor_fetch <url> [--size <bytes>] [--save <file>]
//               [--extract <7za.exe> <archive> <folder>] [--move <from> <to>]...
//               [--scratch] [--no-cache-write]
//
// The fetch makes the same WinINet calls with the same flags as the agent's
// package fetch (DownloadUrlBytes_URL): InternetOpenA with the package user
// agent and INTERNET_OPEN_TYPE_DIRECT, InternetOpenUrlA with
// INTERNET_FLAG_RELOAD, the status and Content-Length through HttpQueryInfoA,
// then InternetReadFile of PackageReadChunk (65,536) bytes at a time. The
// bytes go straight into ONE block allocated once (from the Content-Length,
// or --size when given): no scratch buffer, no copies, no progress, no
// retries, no journal.
// Two variants that are not the floor, for comparison only:
// --scratch         each read goes to a 64 KiB buffer and is copied into the
//                   block, as the agent's reader does.
// --no-cache-write  adds INTERNET_FLAG_NO_CACHE_WRITE: with the agent's flags
//                   WinINet also writes the whole body to the user's URL cache
//                   (INetCache), a second full copy on disk.
// --save    one CreateFileW + one WriteFile of the whole block + CloseHandle
//           (the agent writes a ".parcial" file the same way, then renames it).
// --extract 7za.exe run hidden with the agent's command line
//           ("7za" x "archive" -o"folder" -y), waited for.
// --move    MoveFileExW(REPLACE_EXISTING | COPY_ALLOWED), as the agent's moves.
// Prints one JSON line: the time of each step and in all, the size, and the
// peak working set (GetProcessMemoryInfo) at the end.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "net/inet_handle.h"
#include "net/net_constants.h"
#include "support/handles.h"

namespace {

struct Options {
    std::wstring url;
    unsigned long long size = 0;  // 0: from the Content-Length
    std::wstring saveTo;
    std::wstring sevenZip, archive, extractTo;
    std::vector<std::pair<std::wstring, std::wstring>> moves;
    bool scratch = false;  // read through a 64 KiB buffer and copy, as the agent does
    bool noCacheWrite = false;  // add INTERNET_FLAG_NO_CACHE_WRITE (the agent does not)
};

struct Figures {
    bool ok = false;
    unsigned long error = 0;
    const char* failedStep = "";
    unsigned long long size = 0;
    unsigned long long fetchMs = 0, saveMs = 0, extractMs = 0, moveMs = 0;
    unsigned long extractCode = 0;
};

std::string Narrow(const std::wstring& wide) {
    std::string out;
    for (wchar_t c : wide) out += static_cast<char>(c);  // URLs are ASCII
    return out;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    if (argc < 2) return false;
    options.url = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::wstring flag = argv[i];
        if (flag == L"--size" && i + 1 < argc) {
            options.size = _wcstoui64(argv[++i], nullptr, 10);
        } else if (flag == L"--scratch") {
            options.scratch = true;
        } else if (flag == L"--no-cache-write") {
            options.noCacheWrite = true;
        } else if (flag == L"--save" && i + 1 < argc) {
            options.saveTo = argv[++i];
        } else if (flag == L"--extract" && i + 3 < argc) {
            options.sevenZip = argv[++i];
            options.archive = argv[++i];
            options.extractTo = argv[++i];
        } else if (flag == L"--move" && i + 2 < argc) {
            options.moves.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

bool Fail(Figures& figures, const char* step, unsigned long error) {
    figures.failedStep = step;
    figures.error = error;
    return false;
}

// The status and the body's size: --size when given, else the Content-Length (0: unknown).
unsigned long long BodySize(HINTERNET request, const Options& options, DWORD& status) {
    DWORD statusSize = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr);
    if (options.size != 0) return options.size;
    char text[32] = {};
    DWORD textSize = sizeof text;
    DWORD index = 0;
    return HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &textSize, &index)
               ? std::strtoull(text, nullptr, 10)
               : 0;
}

// Reads the body straight into the block (or through a scratch buffer with --scratch).
bool ReadInto(HINTERNET request, const Options& options, unsigned char* block, unsigned long long size,
              Figures& figures) {
    static unsigned char scratch[PackageReadChunk];
    unsigned long long held = 0;
    while (held < size) {
        const unsigned long long left = size - held;
        const DWORD wanted = left < PackageReadChunk ? static_cast<DWORD>(left) : PackageReadChunk;
        DWORD read = 0;
        if (!InternetReadFile(request, options.scratch ? scratch : block + held, wanted, &read)) {
            figures.size = held;
            return Fail(figures, "read", GetLastError());
        }
        if (read == 0) break;
        if (options.scratch) std::memcpy(block + held, scratch, read);
        held += read;
    }
    figures.size = held;
    return held == size || Fail(figures, "short", 0);
}

// The fetch, into one block of the body's size that the caller frees.
bool Fetch(const Options& options, Figures& figures, unsigned char*& block) {
    ScopedInternet root(InternetOpenA(PackageUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!root) return Fail(figures, "open", GetLastError());
    const DWORD flags = INTERNET_FLAG_RELOAD | (options.noCacheWrite ? INTERNET_FLAG_NO_CACHE_WRITE : 0);
    ScopedInternet request(InternetOpenUrlA(root.Get(), Narrow(options.url).c_str(), nullptr, 0, flags, 0));
    if (!request) return Fail(figures, "open-url", GetLastError());
    DWORD status = 0;
    const unsigned long long size = BodySize(request.Get(), options, status);
    if (status < 200 || status > 299) return Fail(figures, "status", status);
    if (size == 0 || size > static_cast<SIZE_T>(-1)) return Fail(figures, "size", 0);
    block = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, static_cast<SIZE_T>(size), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (block == nullptr) return Fail(figures, "allocate", GetLastError());
    return ReadInto(request.Get(), options, block, size, figures);
}

bool Save(const std::wstring& path, const unsigned char* block, unsigned long long size, Figures& figures) {
    ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return Fail(figures, "save", GetLastError());
    DWORD written = 0;
    if (!WriteFile(file.Get(), block, static_cast<DWORD>(size), &written, nullptr)) {
        return Fail(figures, "save", GetLastError());
    }
    return written == size || Fail(figures, "save", 0);
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

bool Extract(const Options& options, Figures& figures) {
    CreateDirectoryW(options.extractTo.c_str(), nullptr);
    std::wstring command = Quoted(options.sevenZip) + L" x " + Quoted(options.archive) + L" -o" +
                           Quoted(options.extractTo) + L" -y";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return Fail(figures, "extract", GetLastError());
    }
    ScopedHandle thread(process.hThread), child(process.hProcess);
    WaitForSingleObject(child.Get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.Get(), &code);
    figures.extractCode = code;
    return code <= 1 || Fail(figures, "extract", code);
}

bool Move(const std::wstring& from, const std::wstring& to, Figures& figures) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
    return Fail(figures, "move", GetLastError());
}

unsigned long long PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

// Runs the steps in order; the first failure ends the run.
bool Run(const Options& options, Figures& figures) {
    unsigned char* block = nullptr;
    ULONGLONG mark = GetTickCount64();
    auto lap = [&mark]() {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG elapsed = now - mark;
        mark = now;
        return elapsed;
    };
    bool ok = Fetch(options, figures, block);
    figures.fetchMs = lap();
    if (ok && !options.saveTo.empty()) {
        ok = Save(options.saveTo, block, figures.size, figures);
        figures.saveMs = lap();
    }
    if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
    if (ok && !options.sevenZip.empty()) {
        ok = Extract(options, figures);
        figures.extractMs = lap();
    }
    for (const auto& move : options.moves) {
        if (!ok) break;
        ok = Move(move.first, move.second, figures);
    }
    figures.moveMs = lap();
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: floor_fetch <url> [--size <bytes>] [--save <file>] "
                     "[--extract <7za.exe> <archive> <folder>] [--move <from> <to>]... "
                     "[--scratch] [--no-cache-write]\n");
        return 2;
    }
    Figures figures;
    const ULONGLONG start = GetTickCount64();
    figures.ok = Run(options, figures);
    const ULONGLONG elapsed = GetTickCount64() - start;
    std::printf(
        "{\"ok\":%s,\"step\":\"%s\",\"error\":%lu,\"size\":%llu,\"ms\":%llu,\"fetch_ms\":%llu,\"save_ms\":%llu,"
        "\"extract_ms\":%llu,\"extract_code\":%lu,\"move_ms\":%llu,\"peak_working_set\":%llu}\n",
        figures.ok ? "true" : "false", figures.failedStep, figures.error, figures.size, elapsed, figures.fetchMs,
        figures.saveMs, figures.extractMs, figures.extractCode, figures.moveMs, PeakWorkingSet());
    return figures.ok ? 0 : 1;
}
