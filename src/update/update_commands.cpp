#include "update/update_commands.h"

namespace {

const std::wstring Quote = L"\"";

std::wstring Quoted(const std::wstring& text) {
    return Quote + text + Quote;
}

std::wstring PowerShellCommandPrefix(const std::wstring& powershell) {
    return Quoted(powershell) + L" -NoProfile -NonInteractive -Command ";
}

// PowerShell joins the arguments after -Command with blanks and parses the
// result again, so plain quotes would be gone by then and a path with a
// blank would split; the backslash-escaped quotes reach PowerShell.
std::wstring PowerShellQuoted(const std::wstring& text) {
    return L"\\\"" + text + L"\\\"";
}

}  // namespace

std::wstring SevenZipExtractCommand(const std::wstring& sevenZip, const std::wstring& archive,
                                    const std::wstring& destination) {
    return Quoted(sevenZip) + L" x " + Quoted(archive) + L" -o" + Quoted(destination) + L" -y";
}

std::wstring ZipFolderCommand(const std::wstring& powershell, const std::wstring& folder, const std::wstring& zip) {
    return PowerShellCommandPrefix(powershell) + L"Compress-Archive -Path " + PowerShellQuoted(folder + L"\\*") +
           L" -DestinationPath " + PowerShellQuoted(zip) + L" -Force";
}

std::wstring ExpandArchiveCommand(const std::wstring& powershell, const std::wstring& archive,
                                  const std::wstring& destination) {
    return PowerShellCommandPrefix(powershell) + L"Expand-Archive -LiteralPath " + PowerShellQuoted(archive) +
           L" -DestinationPath " + PowerShellQuoted(destination) + L" -Force";
}

std::wstring TaskkillCommand(const std::wstring& exeName) {
    return L"taskkill /F /IM " + Quoted(exeName);
}

std::wstring RegistrationScriptParameters(const std::wstring& scriptPath) {
    return L"/c \"\"" + scriptPath + L"\"\"";
}
