#include "installer/installation.h"

#include "app/archiver_bootstrap_text.h"
#include "app/archiver_trust.h"
#include "app/archiver_trust_rules.h"
#include "build_settings.h"
#include "installer/installation_text.h"
#include "installer/url_download.h"
#include "support/file_probe.h"
#include "support/handles.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/package_hash.h"
#include "update/package_signature.h"
#include "update/release_statement.h"
#include "update/statement_checks.h"
#include "update/statement_verification.h"

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

// A file of the user's temporary folder for this run's downloads.
std::wstring TemporaryPath(const std::wstring& name) {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    std::wstring path(folder, length < MAX_PATH ? length : 0);
    if (path.empty() || path.back() != L'\\') path += L'\\';
    return path + L"trevanto_" + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
}

// The small text file at the path (the statement the vendor publishes);
// empty when it cannot be read or is longer than a statement's line can be.
std::string ReadSmallFile(const std::wstring& path) {
    ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > 4LL * StatementTextLimit) {
        return std::string();
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() && !ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        return std::string();
    }
    text.resize(read);
    return text;
}

void ShowStatementError(HWND owner, const std::wstring& url, StatementCheck check) {
    ShowError(owner, PackageFetchErrorText(url, StatementCheckTrustCode(check)), PackageFetchErrorTitle);
}

// The vendor's statement of the agent's archive, published beside it
// (<archive>.declaracion): fetched, verified under the build's keys, for the
// installer, under the archive's own name. A missing or refused statement
// is told in the download error box; false then.
bool FetchArchiveStatement(HWND owner, OfferVerification& verification, ReleaseStatement& statement) {
    const std::wstring url = AgentStatementUrl(settings::DownloadHostW);
    const std::wstring path = TemporaryPath(AgentStatementName);
    HRESULT result = S_OK;
    std::string statementText, signatureText;
    const bool fetched = DownloadUrlToFile(url, path, &result) &&
                         ParseStatementMembersJson(ReadSmallFile(path), statementText, signatureText);
    DeleteFileW(path.c_str());
    verification = BuildOfferVerification(fetched, false);
    if (verification == OfferVerification::RefuseMissing) {
        ShowStatementError(owner, url, StatementCheck::Missing);
        return false;
    }
    if (verification != OfferVerification::VerifyStatement) return true;
    int slot = 0;
    StatementCheck check = VerifyStatementTexts(statementText, signatureText, statement, slot);
    if (check == StatementCheck::Passed) {
        StatementExpectation expected;
        expected.kind = StatementKind::Installer;
        expected.fileName = NarrowLowByte(AgentPackageName);
        check = CheckStatement(statement, expected, true);
    }
    if (check == StatementCheck::Passed) return true;
    ShowStatementError(owner, url, check);
    return false;
}

bool FetchPackage(HWND owner, const std::wstring& packagePath) {
    const std::wstring url = AgentPackageUrl(settings::DownloadHostW);
    HRESULT result = S_OK;
    if (DownloadUrlToFile(url, packagePath, &result)) return true;
    ShowError(owner, PackageFetchErrorText(url, static_cast<unsigned long>(result)), PackageFetchErrorTitle);
    return false;
}

// The fetched archive against its statement: as long as stated, with the
// stated SHA-256. A refused archive is deleted and told.
bool ArchiveKeepsStatement(HWND owner, const std::wstring& packagePath, const ReleaseStatement& statement) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    std::string digest;
    const bool read = GetFileAttributesExW(packagePath.c_str(), GetFileExInfoStandard, &data) != 0 &&
                      Sha256OfFile(packagePath, digest);
    const std::uint64_t size = read ? (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) : 0;
    const StatementCheck check = CheckStatedBytes(statement, size, digest);
    if (check == StatementCheck::Passed) return true;
    DeleteFileW(packagePath.c_str());
    ShowStatementError(owner, AgentPackageUrl(settings::DownloadHostW), check);
    return false;
}

// The agent's archive in the temporary folder, kept to its statement when
// the build checks one; nothing in the installation folder is touched yet.
bool FetchVerifiedArchive(HWND owner, std::wstring& packagePath) {
    OfferVerification verification = OfferVerification::None;
    ReleaseStatement statement;
    if (!FetchArchiveStatement(owner, verification, statement)) return false;
    packagePath = TemporaryPath(AgentPackageName);
    if (!FetchPackage(owner, packagePath)) return false;
    return verification != OfferVerification::VerifyStatement || ArchiveKeepsStatement(owner, packagePath, statement);
}

bool ExtractAgent(HWND owner, const std::wstring& folder, const std::wstring& packagePath) {
    const std::wstring archiverPath = InstallPath(folder, ArchiverFileName);
    if (!EnsureArchiver(owner, archiverPath)) return false;
    unsigned long exitCode = 0;  // the start error instead when it did not start
    const bool started = RunHidden(ExtractionCommandLine(archiverPath, packagePath, folder), exitCode);
    if (!started) {
        ShowError(owner, ExtractionLaunchErrorText(exitCode), ExtractionErrorTitle);
    } else if (exitCode != 0) {
        ShowError(owner, ExtractionExitCodeText(exitCode), ExtractionErrorTitle);
    }
    return started && exitCode == 0;
}

}  // namespace

void InstallAgentInto(HWND owner, const std::wstring& folder) {
    if (folder.empty()) return;
    // The archive and its statement first: a refused one leaves the folder
    // as it was, its old agent included.
    std::wstring packagePath;
    if (!FetchVerifiedArchive(owner, packagePath)) return;
    const std::wstring agentPath = InstallPath(folder, AgentExeName);
    bool installed = false;
    if (!DeleteFileW(agentPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        ShowError(owner, DeleteErrorText(agentPath, GetLastError()), DeleteErrorTitle);
    } else {
        installed = ExtractAgent(owner, folder, packagePath);
    }
    DeleteFileW(packagePath.c_str());
    if (!installed) return;
    MessageBoxW(owner, InstalledText(folder).c_str(), InstallerTitle, MB_ICONINFORMATION);
    PostMessageW(owner, WM_CLOSE, 0, 0);
}
