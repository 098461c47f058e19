#include "app/app_folder.h"

#include <windows.h>

#include "app/app_folder_rules.h"

std::wstring GetAppFolder() {
    wchar_t buffer[ModulePathCapacity] = {};
    GetModuleFileNameW(nullptr, buffer, ModulePathCapacity);
    return AppFolderFromModulePath(buffer);
}

std::wstring GetEntryFolder() {
    wchar_t buffer[ModulePathCapacity] = {};
    const DWORD copied = GetModuleFileNameW(nullptr, buffer, ModulePathCapacity);
    return EntryFolderFromModulePath(buffer, copied);
}
