// Files of the update pipeline: saving the package, small file tests and
// shared helpers for folders and system program paths.
#pragma once
#include <string>
#include <vector>

// One write of the whole buffer to a file created (or truncated) at path.
// created tells whether the file was opened, so that a caller can remove a
// partly written file; the file itself is left as it is.
bool SaveBytesToFile(const std::wstring& path, const std::vector<unsigned char>& bytes, bool* created = nullptr);

// True when the file's first two bytes are "MZ".
bool HasMzSignature(const std::wstring& path);

// True when the path is a directory, or could be created as one (an
// ERROR_ALREADY_EXISTS counts as created).
bool EnsureDirectory(const std::wstring& path);

bool IsExistingDirectory(const std::wstring& path);

// A path with its environment variables expanded (260 units at most).
std::wstring ExpandedPath(const wchar_t* path);

// %SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe, expanded.
std::wstring PowerShellPath();

// Appends a line to descargas.csv of the application folder.
void JournalDownload(const std::wstring& appFolder, const std::string& text);

// A path as journals write it (low byte of each UTF-16 unit).
std::string PathText(const std::wstring& path);
