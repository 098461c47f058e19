#include "installer/installation.h"

#include "app/archiver_bootstrap_text.h"
#include "app/archiver_trust.h"
#include "app/archiver_trust_rules.h"
#include "build_settings.h"
#include "installer/installation_text.h"
#include "installer/url_download.h"
#include "support/file_probe.h"
#include "support/process_runner.h"

namespace {

void ShowError(HWND owner, const std::wstring& text, const wchar_t* title) {
    MessageBoxW(owner, text.c_str(), title, MB_ICONERROR);
}

// A pinned 7za.exe in the folder, fetched when it is not there yet or is
// not pinned (a page an earlier attempt kept, another program). An HTTP
// error answer counts as a missing file (HRESULT 0 when the call itself
// succeeded); a download that is not pinned (a captive portal's page, a
// program the build does not know) is deleted and told with
// TRUST_E_BAD_DIGEST.
bool EnsureArchiver(HWND owner, const std::wstring& archiverPath) {
    if (IsTrustedArchiver(archiverPath)) return true;
    if (IsExistingFile(archiverPath)) DeleteFileW(archiverPath.c_str());
    const std::wstring url = ArchiverBootstrapUrl(settings::DownloadHostW);
    HRESULT result = S_OK;
    if (DownloadUrlToFile(url, archiverPath, &result) && IsExistingFile(archiverPath)) {
        if (IsTrustedArchiver(archiverPath)) return true;
        DeleteFileW(archiverPath.c_str());
        result = static_cast<HRESULT>(ArchiverNotTrustedCode);
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
