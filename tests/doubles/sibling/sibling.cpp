// Stand-in for a sibling business program. Each start appends one line,
// "<own path>|<working directory>", to "<own path>.arranques.txt", then the
// program runs until it is ended. With TREVANTO_LOCK_FILE set it also holds
// that file open without sharing, as a program holding its database does;
// with TREVANTO_LOCK_READABLE also set, others may still read it (but not
// write, move or delete it). With TREVANTO_LOCK_AFTER naming another file,
// it first waits until that file exists, then until the one to hold can be
// opened so; its start is recorded only once it holds it. Built with
// SIBLING_EXIT_CODE, it ends right after recording its start, with that code.
#include <windows.h>

#include <string>

#include "../common/utf8.h"

namespace {

void RecordStart() {
    wchar_t self[32768] = {};
    GetModuleFileNameW(nullptr, self, 32768);
    wchar_t cwd[32768] = {};
    GetCurrentDirectoryW(32768, cwd);
    const std::wstring logPath = std::wstring(self) + L".arranques.txt";
    const std::string line = Utf8(self) + "|" + Utf8(cwd) + "\r\n";
    HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

void HoldLockedFile() {
    wchar_t path[32768] = {};
    if (GetEnvironmentVariableW(L"TREVANTO_LOCK_FILE", path, 32768) == 0) return;
    const bool readable = GetEnvironmentVariableW(L"TREVANTO_LOCK_READABLE", nullptr, 0) > 0;
    wchar_t after[32768] = {};
    const bool wait = GetEnvironmentVariableW(L"TREVANTO_LOCK_AFTER", after, 32768) > 0;
    while (wait && GetFileAttributesW(after) == INVALID_FILE_ATTRIBUTES) Sleep(10);
    // Kept open until the process ends.
    while (CreateFileW(path, readable ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, readable ? FILE_SHARE_READ : 0,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) == INVALID_HANDLE_VALUE &&
           wait) {
        Sleep(10);
    }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    HoldLockedFile();
    RecordStart();
#ifdef SIBLING_EXIT_CODE
    ExitProcess(SIBLING_EXIT_CODE);
#endif
    for (;;) Sleep(1000);
}
