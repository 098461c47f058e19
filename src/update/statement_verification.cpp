#include "update/statement_verification.h"
#include "support/base64.h"

#include <windows.h>

#include <vector>

#include "app/app_folder_rules.h"
#include "app/signing_settings.h"
#include "support/handles.h"
#include "support/journal_format.h"
#include "update/installed_versions.h"
#include "update/package_hash.h"
#include "update/package_signature.h"
#include "update/signature_rules.h"

namespace {

std::wstring InstalledVersionsPath(const std::wstring& appFolder) {
    return JoinPath(JoinPath(appFolder, RecordFolderName), InstalledVersionsFileName);
}

// The record's text; empty when it is missing, unreadable or too long.
std::string ReadRecord(const std::wstring& path) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > InstalledVersionsTextLimit) {
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

}  // namespace

StatementCheck VerifyStatementTexts(const std::string& statementBase64, const std::string& signatureBase64,
                                    ReleaseStatement& statement, int& slot) {
    slot = 0;
    std::vector<unsigned char> bytes;
    if (statementBase64.size() > 2 * StatementTextLimit || !DecodeBase64(statementBase64, bytes) ||
        bytes.size() > StatementTextLimit) {
        return StatementCheck::Signature;
    }
    std::string digest;
    if (!Sha256Hex(bytes, digest)) return StatementCheck::Signature;
    slot = VerifyingKeySlot(BuildSigningSettings(), digest, signatureBase64);
    if (slot == 0) return StatementCheck::Signature;
    // Only bytes the vendor's key vouched for are read.
    if (!ParseStatementText(std::string(bytes.begin(), bytes.end()), statement)) return StatementCheck::Format;
    return StatementCheck::Passed;
}

std::string InstalledVersionFloor(const std::wstring& appFolder, const std::string& product) {
    return InstalledVersionOf(ReadRecord(InstalledVersionsPath(appFolder)), product);
}

void RecordInstalledVersion(const std::wstring& appFolder, const std::string& product, const std::string& version) {
    const std::wstring path = InstalledVersionsPath(appFolder);
    const std::string text = WithInstalledVersion(ReadRecord(path), product, version);
    CreateDirectoryW(JoinPath(appFolder, RecordFolderName).c_str(), nullptr);
    // Written beside and moved over, so that the record is never half written.
    const std::wstring partial = path + L".parcial";
    {
        ScopedHandle file(
            CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) return;
        DWORD written = 0;
        if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            file.Close();
            DeleteFileW(partial.c_str());
            return;
        }
    }
    if (!MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) DeleteFileW(partial.c_str());
}
