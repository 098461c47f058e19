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

}  // namespace

bool RunHidden(const std::wstring& commandLine, unsigned long& exitCode) {
    // CreateProcessW may write into the command line, so it gets its own copy.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        exitCode = GetLastError();
        return false;
    }
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

bool RunElevatedCmd(const std::wstring& command, unsigned long& exitCode) {
    exitCode = ElevatedExitCodeUnset;
    const std::wstring cmdPath = ExpandedCmdPath();
    const std::wstring parameters = L"/c " + command;

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = cmdPath.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    // A declined elevation prompt shows up here as a failed launch.
    if (!ShellExecuteExW(&info)) return false;
    if (info.hProcess == nullptr) return false;

    ScopedHandle processHandle(info.hProcess);
    WaitForSingleObject(processHandle.Get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(processHandle.Get(), &code)) return false;
    exitCode = code;
    return true;
}
