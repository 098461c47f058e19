#include "housekeeping/startup_archiving.h"

#include <windows.h>

#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "housekeeping/archiving_text.h"
#include "support/folder_walk.h"
#include "support/handles.h"
#include "support/process_runner.h"
#include "update/package_naming.h"

namespace {

bool IsDotEntry(const wchar_t* name) {
    return lstrcmpW(name, L".") == 0 || lstrcmpW(name, L"..") == 0;
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void ClearReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
}

// The application folder from a module path shorter than 260 characters.
std::wstring ArchivingAppFolder() {
    wchar_t buffer[ModulePathCapacity] = {};
    const DWORD copied = GetModuleFileNameW(nullptr, buffer, ModulePathCapacity);
    if (copied == 0 || copied >= ModulePathCapacity) return std::wstring();
    return AppFolderFromModulePath(std::wstring(buffer, copied));
}

}  // namespace

std::vector<std::wstring> ListSubfolders(const std::wstring& folder) {
    std::vector<std::wstring> folders;
    ForEachEntry(folder, [&folders](const std::wstring& path, bool isDirectory) {
        if (isDirectory) folders.push_back(path);
        return true;
    });
    return folders;
}

// Recursive on purpose: the depth is that of the folder tree being removed.
bool DeleteFolderTree(const std::wstring& folder) {  // NOLINT(misc-no-recursion)
    WIN32_FIND_DATAW entry;
    {
        ScopedFind find(FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
        if (!find.Valid()) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        }
        do {
            if (IsDotEntry(entry.cFileName)) continue;
            const std::wstring path = JoinPath(folder, entry.cFileName);
            if (IsLink(entry.dwFileAttributes)) {
                // The link itself goes; what it leads to is never touched.
                ClearReadOnly(path);
                const bool gone = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                                      : DeleteFileW(path.c_str());
                if (!gone) return false;
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!DeleteFolderTree(path)) return false;
            } else {
                ClearReadOnly(path);
                if (!DeleteFileW(path.c_str())) return false;
            }
        } while (FindNextFileW(find.Get(), &entry));
    }
    ClearReadOnly(folder);
    return RemoveDirectoryW(folder.c_str()) != 0;
}

void RunStartupArchiving() {
    const std::wstring appFolder = ArchivingAppFolder();
    if (appFolder.empty()) return;
    const std::wstring root = JoinPath(appFolder, BackupRootName);
    const DWORD attributes = GetFileAttributesW(root.c_str());
    // A backup folder reached through a link is not the agent's to pack and delete.
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) || IsLink(attributes)) return;

    for (const std::wstring& candidate : ListSubfolders(root)) {
        if (IsLink(GetFileAttributesW(candidate.c_str()))) continue;
        const std::wstring zip = JoinPath(root, NameAfterLastSeparator(candidate) + L".zip");
        unsigned long exitCode = 0;
        if (RunHidden(StartupArchiveCommand(candidate, zip), exitCode) && exitCode == 0) {
            DeleteFolderTree(candidate);
        }
    }
}
