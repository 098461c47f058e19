#include "update/package_files.h"

#include <windows.h>

#include "app/app_folder_rules.h"
#include "support/handles.h"
#include "support/journal.h"
#include "support/text.h"
#include "update/package_checks.h"
#include "update/package_naming.h"

namespace {

// One write of the whole buffer to a file created (or truncated) at path.
bool WriteWholeFile(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return false;
    DWORD written = 0;
    const DWORD wanted = static_cast<DWORD>(bytes.size());
    const BOOL ok = WriteFile(file.Get(), bytes.data(), wanted, &written, nullptr);
    const DWORD error = WriteErrorCode(ok != 0, written, wanted, GetLastError());
    file.Close();
    SetLastError(error);  // the caller reads the write's error code
    return error == 0;
}

}  // namespace

bool SaveBytesToFile(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    const std::wstring partial = path + PartialSuffix;
    if (WriteWholeFile(partial, bytes) && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    const DWORD error = GetLastError();
    DeleteFileW(partial.c_str());
    SetLastError(error);
    return false;
}

std::wstring LongNameOf(const std::wstring& path) {
    const DWORD needed = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return NameAfterLastSeparator(path);
    std::wstring buffer(needed, L'\0');
    const DWORD written = GetLongPathNameW(path.c_str(), buffer.data(), needed);
    if (written == 0 || written >= needed) return NameAfterLastSeparator(path);
    buffer.resize(written);
    return NameAfterLastSeparator(buffer);
}

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

std::wstring RunningExecutableName() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD copied = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (copied == 0 || copied >= MAX_PATH) return std::wstring();
    return LowerAscii(LongNameOf(buffer));
}

bool ExistsAt(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool IsSafePackageName(const std::wstring& appFolder, const std::wstring& name) {
    if (!IsUsablePackageName(name)) return false;
    const std::wstring path = JoinPath(appFolder, name);
    if (ExistsAt(path)) {
        if (IsReparsePoint(path)) return false;
        const std::wstring longName = LongNameOf(path);
        if (IsAgentOwnName(longName) || LowerAscii(longName) == RunningExecutableName()) return false;
    }
    if (!HasZipExtension(name)) return true;
    const std::wstring stemPath = JoinPath(appFolder, StripExtension(name));
    return !(ExistsAt(stemPath) && NamesAgentFolder(LongNameOf(stemPath)));
}

bool IsExistingDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureDirectory(const std::wstring& path) {
    if (IsExistingDirectory(path)) return true;
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring ExpandedPath(const wchar_t* path) {
    wchar_t buffer[MAX_PATH] = {};
    ExpandEnvironmentStringsW(path, buffer, MAX_PATH);
    return buffer;
}

std::wstring PowerShellPath() {
    return ExpandedPath(L"%SystemRoot%\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
}

void JournalDownload(const std::wstring& appFolder, const std::string& text) {
    AppendDownloadJournal(appFolder, text);
}

std::string PathText(const std::wstring& path) {
    return NarrowLowByte(path);
}
