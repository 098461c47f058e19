// Names and command lines of the backup housekeeping. No Win32 here.
#pragma once
#include <string>

inline constexpr wchar_t BackupRootName[] = L"actualizaciones";
inline constexpr wchar_t VersionsFolderName[] = L"versiones";
inline constexpr wchar_t SetAsideAgentName[] = L"trevanto2.exe";

// powershell.exe -NoProfile -ExecutionPolicy Bypass -Command "Compress-Archive
// -Path '<folder>\*' -DestinationPath '<zip>' -Force" (quoting as in update/update_commands.h)
std::wstring StartupArchiveCommand(const std::wstring& folder, const std::wstring& zip);

// "<powershell>" -NoProfile -NonInteractive -Command "Compress-Archive
// -LiteralPath '<exe>' -DestinationPath '<zip>' -Force"
std::wstring CloseArchiveCommand(const std::wstring& powershell, const std::wstring& exe, const std::wstring& zip);

// "yymmdd_hhmmss_trevanto" from the local time (year modulo 100).
std::wstring VersionStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                              unsigned second);
