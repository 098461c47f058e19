// Names, paths and stamps of the update pipeline. No Win32 here.
#pragma once
#include <string>

inline constexpr wchar_t DefaultPackageName[] = L"descarga.bin";

// The local file name for a package address: query and fragment dropped,
// the text after the last "/", unsafe bytes replaced by "_", widened byte
// by byte; "descarga.bin" when nothing usable is left.
std::wstring PackageFileNameFromUrl(const std::string& url);

// The text without its last extension (only when the "." follows the last separator).
std::wstring StripExtension(const std::wstring& text);

// True when the text after the last "." of the whole path is "zip" in any case.
bool HasZipExtension(const std::wstring& path);

// True when the name, lower-cased, has at least 4 characters and ends in ".exe".
bool IsExecutablePackageName(const std::wstring& name);

// The text after the last "\" or "/".
std::wstring NameAfterLastSeparator(const std::wstring& path);

// ASCII letters lower-cased (the rest unchanged).
std::wstring LowerAscii(std::wstring text);

// True when the name, lower-cased, ends with the (lower-case) suffix.
bool EndsWithIgnoringCase(const std::wstring& name, const std::wstring& lowerSuffix);

// "yymmdd_hhmmss" from the local time (year modulo 100).
std::wstring BackupStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                             unsigned second);

// The folder above the application folder (one trailing separator ignored);
// empty when there is none.
std::wstring ParentFolder(const std::wstring& appFolder);
