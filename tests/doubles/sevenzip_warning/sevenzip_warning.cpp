// 7za.exe stand-in that does the real work with the bench's 7za.exe and
// then reports 7-Zip's warning exit code (1) instead of success.
#include <windows.h>

#include <string>
#include <vector>

int wmain() {
    wchar_t real[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%\\System32\\WindowsPowerShell\\v1.0\\7za.exe", real, MAX_PATH);
    // Same arguments: everything after this program's own (quoted) name.
    std::wstring arguments = GetCommandLineW();
    const size_t start = arguments[0] == L'"' ? arguments.find(L'"', 1) + 1 : arguments.find(L' ');
    arguments = start == std::wstring::npos ? std::wstring() : arguments.substr(start);
    std::wstring commandLine = L"\"" + std::wstring(real) + L"\"" + arguments;
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0 ? 1 : static_cast<int>(code);
}
