// Command lines of the child programs the update and housekeeping run.
// No Win32 here: the program paths come in already expanded.
#pragma once
#include <string>

// "<7za>" x "<archive>" -o"<destination>" -y
std::wstring SevenZipExtractCommand(const std::wstring& sevenZip, const std::wstring& archive,
                                    const std::wstring& destination);

// PowerShell sees every path inside single quotes, so "$", "`" and blanks
// stay plain characters; -DestinationPath takes its path literally.

// A single-quoted PowerShell string: each single quote (PowerShell counts
// the typographic ones too) doubled.
std::wstring PowerShellLiteral(const std::wstring& text);

// The path with a backtick before each of [ ] * ? `, so a -Path parameter
// matches it literally.
std::wstring PowerShellWildcardEscaped(const std::wstring& path);

// '<folder, wildcard-escaped>\*' for -Path: everything in the folder.
std::wstring PowerShellFolderContents(const std::wstring& folder);

// "<powershell>" -NoProfile -NonInteractive -Command "Compress-Archive -Path '<folder>\*' -DestinationPath '<zip>'
// -Force"
std::wstring ZipFolderCommand(const std::wstring& powershell, const std::wstring& folder, const std::wstring& zip);

// "<powershell>" -NoProfile -NonInteractive -Command "Expand-Archive -LiteralPath '<archive>' -DestinationPath
// '<dest>' -Force"
std::wstring ExpandArchiveCommand(const std::wstring& powershell, const std::wstring& archive,
                                  const std::wstring& destination);

// taskkill /F /IM "<exe name>"
std::wstring TaskkillCommand(const std::wstring& exeName);

// /c ""<script>""
std::wstring RegistrationScriptParameters(const std::wstring& scriptPath);
