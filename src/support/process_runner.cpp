#include "support/process_runner.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "support/handles.h"

namespace {

std::wstring ExpandedCmdPath() {
    wchar_t buffer[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%\\System32\\cmd.exe", buffer, MAX_PATH);
    return buffer;
}

// CreateProcessW with a hidden window and no console; the caller owns the handles.
bool CreateHiddenProcess(const std::wstring& commandLine, const wchar_t* workingFolder, PROCESS_INFORMATION& process,
                         unsigned long& error) {
    // CreateProcessW may write into the command line, so it gets its own copy.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    process = {};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, workingFolder,
                        &startup, &process)) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool ShellExecuteRunas(const std::wstring& file, const std::wstring& parameters, int showCommand, void*& process,
                       unsigned long& error) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = showCommand;
    // A declined elevation prompt shows up here as a failed launch.
    if (!ShellExecuteExW(&info)) {
        error = GetLastError();
        return false;
    }
    process = info.hProcess;
    return true;
}

ElevatedLaunch CurrentElevatedLaunch = ShellExecuteRunas;

}  // namespace

void SetElevatedLaunch(ElevatedLaunch launch) {
    CurrentElevatedLaunch = launch;
}

bool StartHidden(const std::wstring& commandLine, const std::wstring& workingFolder, unsigned long& error) {
    PROCESS_INFORMATION process;
    if (!CreateHiddenProcess(commandLine, workingFolder.c_str(), process, error)) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool RunHidden(const std::wstring& commandLine, unsigned long& exitCode) {
    PROCESS_INFORMATION process;
    if (!CreateHiddenProcess(commandLine, nullptr, process, exitCode)) return false;
    ScopedHandle processHandle(process.hProcess);
    ScopedHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.Get(), INFINITE);
    DWORD code = 0;
    const bool obtained = GetExitCodeProcess(processHandle.Get(), &code) != 0;
    exitCode = code;
    return obtained;
}

bool RunHiddenExpectZero(const std::wstring& commandLine, unsigned long& exitCode) {
    return RunHidden(commandLine, exitCode) && exitCode == 0;
}

bool RunElevated(const std::wstring& file, const std::wstring& parameters, int showCommand, unsigned long& exitCode,
                 unsigned long& launchError, bool& exitCodeRead) {
    exitCode = ElevatedExitCodeUnset;
    launchError = 0;
    exitCodeRead = false;
    void* process = nullptr;
    if (!CurrentElevatedLaunch(file, parameters, showCommand, process, launchError)) return false;
    if (process == nullptr) return true;
    ScopedHandle processHandle(process);
    WaitForSingleObject(processHandle.Get(), INFINITE);
    DWORD code = 0;
    exitCodeRead = GetExitCodeProcess(processHandle.Get(), &code) != 0;
    if (exitCodeRead) exitCode = code;
    return true;
}

bool RunElevatedCmd(const std::wstring& command, unsigned long& exitCode) {
    unsigned long launchError = 0;
    bool exitCodeRead = false;
    // "Ran" means the child's exit code could be read.
    return RunElevated(ExpandedCmdPath(), L"/c " + command, SW_HIDE, exitCode, launchError, exitCodeRead) &&
           exitCodeRead;
}
