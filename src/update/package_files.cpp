#include "update/package_files.h"

#include <windows.h>

#include "support/handles.h"
#include "support/journal.h"
#include "support/text.h"
#include "update/package_checks.h"

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
    const std::wstring partial = path + L".parcial";
    if (WriteWholeFile(partial, bytes) && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    const DWORD error = GetLastError();
    DeleteFileW(partial.c_str());
    SetLastError(error);
    return false;
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
