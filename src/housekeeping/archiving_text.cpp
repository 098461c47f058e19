#include "housekeeping/archiving_text.h"

#include <cwchar>

#include "update/update_commands.h"

std::wstring StartupArchiveCommand(const std::wstring& folder, const std::wstring& zip) {
    return L"powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Compress-Archive -Path " +
           PowerShellFolderContents(folder) + L" -DestinationPath " + PowerShellLiteral(zip) + L" -Force\"";
}

std::wstring CloseArchiveCommand(const std::wstring& powershell, const std::wstring& exe, const std::wstring& zip) {
    return L"\"" + powershell + L"\" -NoProfile -NonInteractive -Command \"Compress-Archive -LiteralPath " +
           PowerShellLiteral(exe) + L" -DestinationPath " + PowerShellLiteral(zip) + L" -Force\"";
}

std::wstring VersionStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                              unsigned second) {
    wchar_t text[64] = {};
    std::swprintf(text, 64, L"%02u%02u%02u_%02u%02u%02u_trevanto", year % 100, month, day, hour, minute, second);
    return text;
}
