// How the application folder is cut out of the module path. No Win32 here.
#pragma once
#include <string>

// Length of the module path buffer (MAX_PATH).
constexpr unsigned ModulePathCapacity = 260;

// The entry sequence's rule: a module-name call that returned 0 or filled
// the whole buffer gives no folder; otherwise the path is cut before its
// last backslash, and a path without one gives no folder.
std::wstring EntryFolderFromModulePath(const wchar_t* buffer, unsigned copiedLength);

// GetAppFolder's rule: cut before the last backslash or forward slash; a
// path without any separator is returned unchanged.
std::wstring AppFolderFromModulePath(const std::wstring& modulePath);

// Folder + one backslash + name.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
