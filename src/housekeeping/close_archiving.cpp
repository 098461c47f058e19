#include "housekeeping/close_archiving.h"

#include <windows.h>

#include "app/app_folder_rules.h"
#include "housekeeping/archiving_text.h"
#include "support/file_probe.h"
#include "support/journal.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/package_files.h"

namespace {

constexpr DWORD MoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;

std::wstring LocalVersionStamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return VersionStampText(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

// Moves, or copies and deletes, the file to the intermediate path.
bool MoveIntoVersions(const std::wstring& file, const std::wstring& intermediate) {
    if (MoveFileExW(file.c_str(), intermediate.c_str(), MoveFlags)) return true;
    if (CopyFileW(file.c_str(), intermediate.c_str(), FALSE) && DeleteFileW(file.c_str())) return true;
    DeleteFileW(intermediate.c_str());
    return false;
}

}  // namespace

bool ArchiveAtClose(const std::wstring& appFolder, const std::wstring& file, std::wstring& zipPath) {
    if (!IsExistingFile(file)) return false;
    const std::wstring versions = JoinPath(appFolder, VersionsFolderName);
    if (!EnsureDirectory(versions)) return false;
    const std::wstring stamp = LocalVersionStamp();
    const std::wstring intermediate = JoinPath(versions, stamp + L".exe");
    const std::wstring zip = JoinPath(versions, stamp + L".zip");
    if (!MoveIntoVersions(file, intermediate)) return false;

    unsigned long exitCode = 0;
    if (RunHiddenExpectZero(CloseArchiveCommand(PowerShellPath(), intermediate, zip), exitCode)) {
        DeleteFileW(intermediate.c_str());
        zipPath = zip;
        return true;
    }
    MoveFileExW(intermediate.c_str(), file.c_str(), MoveFlags);
    return false;
}

void ArchiveSetAsideAgent(const std::wstring& appFolder) {
    const std::wstring file = JoinPath(appFolder, SetAsideAgentName);
    std::string outcome = "NO_EXISTE";
    if (IsExistingFile(file)) {
        std::wstring zipPath;
        outcome = ArchiveAtClose(appFolder, file, zipPath) ? NarrowLowByte(zipPath) : std::string("ERROR");
    }
    AppendDownloadJournal(appFolder, "CIERRE_ARCHIVAR_ZIP;" + NarrowLowByte(file) + ";" + outcome);
}
