// Texts of the installer: message boxes, file names, download addresses and
// the extraction command line. No Win32 here.
#pragma once
#include <string>

inline constexpr wchar_t InstallerTitle[] = L"Actualizador Marvek";
inline constexpr wchar_t DeleteErrorTitle[] = L"Actualizador Marvek - Error borrando trevanto.exe";
inline constexpr wchar_t ArchiverFetchErrorTitle[] = L"Actualizador Marvek - Error 7zip";
inline constexpr wchar_t PackageFetchErrorTitle[] = L"Actualizador Marvek - Error descarga";
inline constexpr wchar_t ExtractionErrorTitle[] = L"Actualizador Marvek - Error descompresión";

inline constexpr wchar_t AgentExeName[] = L"trevanto.exe";
inline constexpr wchar_t AgentPackageName[] = L"1.25.1119_trevanto.zip";
// The vendor's statement of the archive, published beside it.
inline constexpr wchar_t AgentStatementName[] = L"1.25.1119_trevanto.zip.declaracion";

// Folder + a backslash unless the folder already ends with one + name.
std::wstring InstallPath(const std::wstring& folder, const std::wstring& name);

// "https://" + download host + "/parches/1.25.1119_trevanto.zip".
std::wstring AgentPackageUrl(const std::wstring& downloadHost);

// "https://" + download host + "/parches/1.25.1119_trevanto.zip.declaracion".
std::wstring AgentStatementUrl(const std::wstring& downloadHost);

// "0x" and eight upper-case hex digits.
std::wstring HresultText(unsigned long hresult);

std::wstring DeleteErrorText(const std::wstring& path, unsigned long errorCode);
std::wstring ArchiverFetchErrorText(const std::wstring& url, unsigned long hresult);
std::wstring PackageFetchErrorText(const std::wstring& url, unsigned long hresult);
std::wstring ExtractionLaunchErrorText(unsigned long errorCode);
std::wstring ExtractionExitCodeText(unsigned long exitCode);
std::wstring InstalledText(const std::wstring& folder);

// "<7za>" x -y "<package>" -o"<folder>": full paths, every prompt answered
// yes, the folder as output. Trailing backslashes of the folder are doubled
// so that they do not escape the closing quote.
std::wstring ExtractionCommandLine(const std::wstring& archiverPath, const std::wstring& packagePath,
                                   const std::wstring& folder);
