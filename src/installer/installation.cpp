#include "installer/installation.h"

#include "app/archiver_bootstrap_text.h"
#include "build_settings.h"
#include "installer/installation_text.h"
#include "installer/url_download.h"
#include "support/file_probe.h"
#include "support/process_runner.h"

namespace {

void ShowError(HWND owner, const std::wstring& text, const wchar_t* title) {
    MessageBoxW(owner, text.c_str(), title, MB_ICONERROR);
}

// 7za.exe in the folder, fetched when it is not there yet or is no program
// (a page an earlier attempt kept). An HTTP error answer counts as a missing
// file (HRESULT 0 when the call itself succeeded); a page answered with
// status 200 (a captive portal, a proxy) is deleted and told as a file that
// is no program.
bool EnsureArchiver(HWND owner, const std::wstring& archiverPath) {
    if (HasProgramSignature(archiverPath)) return true;
    const std::wstring url = ArchiverBootstrapUrl(settings::DownloadHostW);
    HRESULT result = S_OK;
    if (DownloadUrlToFile(url, archiverPath, &result) && IsExistingFile(archiverPath)) {
        if (HasProgramSignature(archiverPath)) return true;
        DeleteFileW(archiverPath.c_str());
        result = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    }
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

}  // namespace

bool DownloadAndExtractAgent(HWND owner, const std::wstring& folder) {
    const std::wstring archiverPath = InstallPath(folder, ArchiverFileName);
    const std::wstring packagePath = InstallPath(folder, AgentPackageName);
    if (!EnsureArchiver(owner, archiverPath)) return false;
    if (!FetchPackage(owner, packagePath)) return false;

    unsigned long exitCode = 0;  // the start error instead when it did not start
    const bool started = RunHidden(ExtractionCommandLine(archiverPath, packagePath, folder), exitCode);
    if (!started) {
        ShowError(owner, ExtractionLaunchErrorText(exitCode), ExtractionErrorTitle);
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
