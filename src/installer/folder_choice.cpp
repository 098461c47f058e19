#include "installer/folder_choice.h"

#include <shlobj.h>

#include "installer/installer_style.h"

bool ChooseInstallFolder(HWND owner, std::wstring* folder) {
    folder->clear();
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.lpszTitle = installer_style::FolderPrompt;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;  // 0x51
    LPITEMIDLIST item = SHBrowseForFolderW(&browse);
    if (item == nullptr) return false;
    wchar_t path[MAX_PATH] = {};
    const BOOL converted = SHGetPathFromIDListW(item, path);
    CoTaskMemFree(item);
    if (!converted || path[0] == L'\0') return false;
    *folder = path;
    return true;
}
