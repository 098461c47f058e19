#include "installer/installation.h"

#include <vector>

#include "app/archiver_bootstrap_text.h"
#include "build_settings.h"
#include "installer/installation_text.h"
#include "installer/url_download.h"
#include "support/file_probe.h"
#include "support/handles.h"

namespace {

void ShowError(HWND owner, const std::wstring& text, const wchar_t* title) {
    MessageBoxW(owner, text.c_str(), title, MB_ICONERROR);
}

// 7za.exe in the folder, fetched when it is not there yet. An HTTP error
// answer counts as a missing file (HRESULT 0 when the call itself succeeded).
bool EnsureArchiver(HWND owner, const std::wstring& archiverPath) {
    if (IsExistingFile(archiverPath)) return true;
    const std::wstring url = ArchiverBootstrapUrl(settings::DownloadHostW);
    HRESULT result = S_OK;
    if (DownloadUrlToFile(url, archiverPath, &result) && IsExistingFile(archiverPath)) return true;
    ShowError(owner, ArchiverFetchErrorText(url, static_cast<unsigned long>(SUCCEEDED(result) ? S_OK : result)),
              ArchiverFetchErrorTitle);
    return false;
}

bool FetchPackage(HWND owner, const std::wstring& packagePath) {
    const std::wstring url = AgentPackageUrl(settings::DownloadHostW);
    HRESULT result = S_OK;
    if (DownloadUrlToFile(url, packagePath, &result)) return true;
    ShowError(owner, PackageFetchErrorText(url, static_cast<unsigned long>(result)), PackageFetchErrorTitle);
    return false;
}

// Runs the command line hidden and waits for it; false with the error code
// when it cannot start.
bool RunAndWait(const std::wstring& commandLine, DWORD* exitCode, DWORD* errorCode) {
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info)) {
        *errorCode = GetLastError();
        return false;
    }
    ScopedHandle process(info.hProcess);
    ScopedHandle thread(info.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    *exitCode = 0;
    GetExitCodeProcess(process.Get(), exitCode);
    return true;
}

}  // namespace

bool DownloadAndExtractAgent(HWND owner, const std::wstring& folder) {
    const std::wstring archiverPath = InstallPath(folder, ArchiverFileName);
    const std::wstring packagePath = InstallPath(folder, AgentPackageName);
    if (!EnsureArchiver(owner, archiverPath)) return false;
    if (!FetchPackage(owner, packagePath)) return false;

    DWORD exitCode = 0, errorCode = 0;
    const bool started = RunAndWait(ExtractionCommandLine(archiverPath, packagePath, folder), &exitCode, &errorCode);
    if (!started) {
        ShowError(owner, ExtractionLaunchErrorText(errorCode), ExtractionErrorTitle);
    } else if (exitCode != 0) {
        ShowError(owner, ExtractionExitCodeText(exitCode), ExtractionErrorTitle);
    }
    DeleteFileW(packagePath.c_str());
    return started && exitCode == 0;
}

void InstallAgentInto(HWND owner, const std::wstring& folder) {
    if (folder.empty()) return;
    const std::wstring agentPath = InstallPath(folder, AgentExeName);
    if (!DeleteFileW(agentPath.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            ShowError(owner, DeleteErrorText(agentPath, error), DeleteErrorTitle);
            return;
        }
    }
    if (!DownloadAndExtractAgent(owner, folder)) return;
    MessageBoxW(owner, InstalledText(folder).c_str(), InstallerTitle, MB_ICONINFORMATION);
    PostMessageW(owner, WM_CLOSE, 0, 0);
}
