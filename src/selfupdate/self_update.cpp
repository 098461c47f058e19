#include "selfupdate/self_update.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "app/app_folder_rules.h"
#include "app/signing_settings.h"
#include "build_settings.h"
#include "net/api_client.h"
#include "net/download_file.h"
#include "selfupdate/self_update_text.h"
#include "support/file_probe.h"
#include "support/journal.h"
#include "support/text.h"
#include "update/package_hash.h"
#include "update/package_signature.h"
#include "update/release_statement.h"
#include "update/statement_checks.h"
#include "update/statement_verification.h"

namespace {

// cmd.exe reads batch files in the console's OEM code page. Not for code
// page 65001, which takes neither these flags nor the default-used pointer.
bool EncodeOem(wchar_t c, std::string& bytes) {
    char buffer[8] = {};
    BOOL usedDefault = FALSE;
    const int n =
        WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, &c, 1, buffer, sizeof buffer, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return false;
    bytes.assign(buffer, n);
    return true;
}

std::wstring CurrentExecutablePath() {
    wchar_t buffer[ModulePathCapacity] = {};
    GetModuleFileNameW(nullptr, buffer, ModulePathCapacity);
    return buffer;
}

bool WriteBatchFile(const std::wstring& path, const std::string& text) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

void LaunchHidden(const std::wstring& batchPath, const std::wstring& appFolder) {
    const std::wstring parameters = L"/C \"" + batchPath + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NO_CONSOLE;
    info.lpVerb = L"open";
    info.lpFile = L"cmd.exe";
    info.lpParameters = parameters.c_str();
    info.lpDirectory = appFolder.c_str();
    info.nShow = SW_HIDE;
    ShellExecuteExW(&info);
    // The batch file waits for this process to end; its handle is not needed.
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
}

void ShowSelfUpdateWarning(const std::string& url, unsigned long code) {
    MessageBoxW(nullptr, SelfUpdateErrorText(url, code).c_str(), SelfUpdateErrorTitle, MB_ICONWARNING);
}

// True when the downloaded new agent's bytes verify under one of the
// build's keys with the answer's "firma".
bool NewAgentSignatureVerifies(const std::wstring& newExe, const std::string& signature) {
    std::string digest;
    return Sha256OfFile(newExe, digest) && VerifyingKeySlot(BuildSigningSettings(), digest, signature) != 0;
}

// A refused new agent: the journal line naming the check, the warning box
// with its trust code, and no hand-over.
void RefuseNewAgent(const std::wstring& appFolder, const std::string& url, StatementCheck check,
                    const std::string& detail = "") {
    AppendDownloadJournal(appFolder, std::string(StatementCheckCode(check)) + ";" + url + detail);
    ShowSelfUpdateWarning(url, StatementCheckTrustCode(check));
}

// The statement's checks that need no download: a statement for a new
// agent, named as the agent's executable, of a version newer than this one.
bool AcceptAgentStatement(const std::wstring& appFolder, const std::string& body, const std::string& url,
                          ReleaseStatement& statement) {
    int slot = 0;
    StatementCheck check = VerifyStatementTexts(ExtractJsonString(body, StatementMember),
                                                ExtractJsonString(body, StatementSignatureMember), statement, slot);
    if (check == StatementCheck::Passed) {
        StatementExpectation expected;
        expected.kind = StatementKind::Agent;
        expected.programVersion = settings::AgentVersion;
        expected.fileName = "trevanto.exe";
        check = CheckStatement(statement, expected, true);
    }
    if (check != StatementCheck::Passed) {
        RefuseNewAgent(appFolder, url, check);
        return false;
    }
    AppendDownloadJournal(appFolder, std::string(StatementCheckCode(check)) + ";" + url + ";clave=" +
                                         std::to_string(slot) + ";version=" + statement.version);
    return true;
}

// The downloaded new agent against its statement: as long as stated, with
// the stated SHA-256.
bool NewAgentKeepsStatement(const std::wstring& appFolder, const std::string& url, const std::wstring& newExe,
                            const ReleaseStatement& statement) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    std::string digest;
    const bool read = GetFileAttributesExW(newExe.c_str(), GetFileExInfoStandard, &data) != 0 &&
                      Sha256OfFile(newExe, digest);
    const std::uint64_t size = read ? (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) : 0;
    const StatementCheck check = CheckStatedBytes(statement, size, digest);
    if (check == StatementCheck::Passed) return true;
    RefuseNewAgent(appFolder, url, check);
    return false;
}

}  // namespace

bool CheckSelfUpdate(const std::wstring& appFolder) {
    std::string body, errorText;
    if (!ApiGetJson(SelfUpdateRequestPath(), body, errorText)) return false;
    const std::string url = ExtractJsonString(body, "url");
    if (url.empty()) return false;

    const std::wstring newExe = JoinPath(appFolder, NewAgentFileName);
    DeleteFileW(newExe.c_str());
    // A build with keys checks the new agent's statement before anything is
    // fetched (and its bytes once they are in), or, while statements are not
    // required, a bare "firma"; an offer without a required statement is
    // refused unfetched.
    const std::string signature = ExtractJsonString(body, "firma");
    const OfferVerification verification =
        BuildOfferVerification(!ExtractJsonString(body, StatementMember).empty(), !signature.empty());
    if (verification == OfferVerification::RefuseMissing) {
        RefuseNewAgent(appFolder, url, StatementCheck::Missing);
        return false;
    }
    ReleaseStatement statement;
    if (verification == OfferVerification::VerifyStatement && !AcceptAgentStatement(appFolder, body, url, statement)) {
        return false;
    }
    unsigned long errorCode = 0;
    const bool downloaded = DownloadToFile(WidenBytes(url), newExe, &errorCode);
    if (!downloaded || !IsExistingFile(newExe)) {
        ShowSelfUpdateWarning(url, errorCode);
        return false;
    }
    const bool kept = verification == OfferVerification::VerifyStatement
                          ? NewAgentKeepsStatement(appFolder, url, newExe, statement)
                          : verification != OfferVerification::VerifySignature ||
                                NewAgentSignatureVerifies(newExe, signature);
    if (!kept) {
        DeleteFileW(newExe.c_str());  // never handed over, nor left for a later run
        if (verification == OfferVerification::VerifySignature) ShowSelfUpdateWarning(url, SignatureInvalidCode);
        return false;
    }

    const std::wstring batchPath = JoinPath(appFolder, SelfUpdateBatchName);
    const unsigned codePage = GetOEMCP();
    const std::string batch =
        SelfUpdateBatchText(GetCurrentProcessId(), EncodePathForBatch(newExe, codePage, EncodeOem),
                            EncodePathForBatch(CurrentExecutablePath(), codePage, EncodeOem));
    if (!WriteBatchFile(batchPath, batch)) return false;
    LaunchHidden(batchPath, appFolder);
    return true;
}
