#include "update/update_commands.h"

namespace {

const std::wstring Quote = L"\"";

std::wstring Quoted(const std::wstring& text) {
    return Quote + text + Quote;
}

// The command text goes as one double-quoted argument: PowerShell would
// otherwise join the split arguments with single blanks and lose runs of
// blanks inside a path. Windows paths hold no double quote.
std::wstring PowerShellCommand(const std::wstring& powershell, const std::wstring& command) {
    return Quoted(powershell) + L" -NoProfile -NonInteractive -Command " + Quoted(command);
}

bool IsPowerShellSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201a' || c == L'\u201b';
}

bool IsWildcardCharacter(wchar_t c) {
    return c == L'[' || c == L']' || c == L'*' || c == L'?' || c == L'`';
}

}  // namespace

std::wstring PowerShellLiteral(const std::wstring& text) {
    std::wstring out = L"'";
    for (wchar_t c : text) {
        out.push_back(c);
        if (IsPowerShellSingleQuote(c)) out.push_back(c);
    }
    return out + L"'";
}

std::wstring PowerShellWildcardEscaped(const std::wstring& path) {
    std::wstring out;
    for (wchar_t c : path) {
        if (IsWildcardCharacter(c)) out.push_back(L'`');
        out.push_back(c);
    }
    return out;
}

std::wstring PowerShellFolderContents(const std::wstring& folder) {
    return PowerShellLiteral(PowerShellWildcardEscaped(folder) + L"\\*");
}

std::wstring SevenZipExtractCommand(const std::wstring& sevenZip, const std::wstring& archive,
                                    const std::wstring& destination) {
    return Quoted(sevenZip) + L" x " + Quoted(archive) + L" -o" + Quoted(destination) + L" -y";
}

std::wstring ZipFolderCommand(const std::wstring& powershell, const std::wstring& folder, const std::wstring& zip) {
    return PowerShellCommand(powershell, L"Compress-Archive -Path " + PowerShellFolderContents(folder) +
                                             L" -DestinationPath " + PowerShellLiteral(zip) + L" -Force");
}

std::wstring ExpandArchiveCommand(const std::wstring& powershell, const std::wstring& archive,
                                  const std::wstring& destination) {
    return PowerShellCommand(powershell, L"Expand-Archive -LiteralPath " + PowerShellLiteral(archive) +
                                             L" -DestinationPath " + PowerShellLiteral(destination) + L" -Force");
}

std::wstring TaskkillCommand(const std::wstring& exeName) {
    return L"taskkill /F /IM " + Quoted(exeName);
}

std::wstring RegistrationScriptParameters(const std::wstring& scriptPath) {
    return L"/c \"\"" + scriptPath + L"\"\"";
}
