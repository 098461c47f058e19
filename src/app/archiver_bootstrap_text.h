// Texts of the archiver bootstrap. No Win32 here.
#pragma once
#include <string>

inline constexpr wchar_t ArchiverFileName[] = L"7za.exe";
inline constexpr wchar_t ArchiverErrorTitle[] = L"Trevanto - Error descargando 7za.exe";

// "https://" + download host + "/parches/7za.exe".
std::wstring ArchiverBootstrapUrl(const std::wstring& downloadHost);

// The error box's text for a failed bootstrap.
std::wstring ArchiverErrorText(const std::wstring& url, unsigned long errorCode);
