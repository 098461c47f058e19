// What the doubles share: the bench's own 7za.exe and running a child.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The bench keeps its 7za.exe beside the PowerShell double in the
// WindowsPowerShell folder, out of the search path, so that it never stands
// in for a program folder's missing archiver.
inline std::wstring BenchSevenZipPath() {
    wchar_t path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%\\System32\\WindowsPowerShell\\v1.0\\7za.exe", path, MAX_PATH);
    return path;
}

// Runs a command line without a window and waits for it. Returns its exit
// code, or startFailure when it could not be started.
inline DWORD RunAndWait(const std::wstring& commandLine, DWORD startFailure) {
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return startFailure;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = startFailure;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}
