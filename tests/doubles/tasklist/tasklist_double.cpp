// tasklist.exe stand-in for Wine, whose own prints nothing. It understands
// the one form the agent's batch file uses, /FI "PID eq <n>", and prints a
// line holding the process id while that process runs, or the usual notice
// when it does not. Without a filter it lists every process. While the file
// named by TREVANTO_TASKLIST_RETENER exists, the filtered process is listed
// as running whether it runs or not: the batch file then waits in its loop
// until a test ends it there.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool HeldByTest() {
    wchar_t path[32768] = {};
    const DWORD length = GetEnvironmentVariableW(L"TREVANTO_TASKLIST_RETENER", path, 32768);
    return length > 0 && length < 32768 && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsRunning(DWORD pid) {
    if (HeldByTest()) return true;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return false;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

std::wstring ImageName(DWORD pid) {
    std::wstring name = L"desconocido.exe";
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return name;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (pid == 0 || entry.th32ProcessID == pid) {
            if (pid != 0) {
                name = entry.szExeFile;
                break;
            }
            std::wprintf(L"%-25ls %8lu Console                    1     10.000 K\r\n", entry.szExeFile,
                         entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return name;
}

// The pid of a "PID eq <n>" filter, or 0 when there is none.
DWORD FilteredPid(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (_wcsicmp(argv[i], L"/FI") != 0) continue;
        unsigned long pid = 0;
        if (std::swscanf(argv[i + 1], L"PID eq %lu", &pid) == 1 || std::swscanf(argv[i + 1], L"pid eq %lu", &pid) == 1)
            return pid;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD pid = FilteredPid(argc, argv);
    if (pid == 0) {
        ImageName(0);
        return 0;
    }
    if (!IsRunning(pid)) {
        std::wprintf(L"INFO: No tasks are running which match the specified criteria.\r\n");
        return 0;
    }
    std::wprintf(L"\r\nImage Name                     PID Session Name        Session#    Mem Usage\r\n");
    std::wprintf(L"%-25ls %8lu Console                    1     10.000 K\r\n", ImageName(pid).c_str(), pid);
    return 0;
}
