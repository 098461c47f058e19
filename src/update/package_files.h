// Files of the update pipeline: saving the package, small file tests and
// shared helpers for folders and system program paths.
#pragma once
#include <string>
#include <vector>

// Writes the whole buffer beside the path, under path + ".parcial", and only
// once it is complete moves it over whatever stands at path: an existing
// file is never truncated in place. On failure the partial file is removed,
// the path is left untouched and the Win32 error code is the last error.
bool SaveBytesToFile(const std::wstring& path, const std::vector<unsigned char>& bytes);

// False for a package name the agent must not store under: one that
// IsUsablePackageName refuses; one whose existing entry in the application
// folder is, by its long name, the agent's own (an 8.3 spelling such as
// TREVAN~1.EXE names trevanto.exe) or the running agent's executable, or is
// a link (reparse point); and a ZIP package whose stem names, by its long
// name, one of the agent's own folders.
bool IsSafePackageName(const std::wstring& appFolder, const std::wstring& name);

// The long form of the last part of an existing path (its 8.3 spelling
// resolved, letter case as stored); the name itself when the path does not
// exist or cannot be resolved.
std::wstring LongNameOf(const std::wstring& path);

// True when the path's attributes carry FILE_ATTRIBUTE_REPARSE_POINT (a
// junction, a symbolic link or another reparse point).
bool IsReparsePoint(const std::wstring& path);

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
