#include "support/folder_walk.h"

#include <windows.h>

#include "support/handles.h"

bool ForEachEntry(const std::wstring& folder, const std::function<bool(const std::wstring&, bool)>& visit) {
    WIN32_FIND_DATAW entry;
    ScopedFind find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find.Valid()) return false;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!visit(folder + L"\\" + name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) break;
    } while (FindNextFileW(find.Get(), &entry));
    return true;
}

std::wstring FindFileBelow(const std::wstring& folder, const std::function<bool(const std::wstring& name)>& matches) {
    std::wstring found;
    ForEachEntry(folder, [&](const std::wstring& path, bool isDirectory) {
        if (isDirectory) {
            // A link to another folder is never followed.
            if ((GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
            found = FindFileBelow(path, matches);
        } else if (matches(path.substr(path.rfind(L'\\') + 1))) {
            found = path;
        }
        return found.empty();
    });
    return found;
}
