#include "app/app_folder_rules.h"

std::wstring EntryFolderFromModulePath(const wchar_t* buffer, unsigned copiedLength) {
    if (copiedLength == 0 || copiedLength >= ModulePathCapacity) return std::wstring();
    const std::wstring path(buffer, copiedLength);
    const size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) return std::wstring();
    return path.substr(0, cut);
}

std::wstring AppFolderFromModulePath(const std::wstring& modulePath) {
    const size_t cut = modulePath.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return modulePath;
    return modulePath.substr(0, cut);
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    return folder + L"\\" + name;
}
