#include "update/executable_replacement.h"

#include <windows.h>

#include "app/app_folder_rules.h"
#include "housekeeping/archiving_text.h"
#include "support/file_probe.h"
#include "support/handles.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/package_files.h"
#include "update/package_naming.h"
#include "update/update_commands.h"

namespace {

constexpr DWORD MoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;
constexpr int MoveAttempts = 10;
constexpr DWORD MoveRetryPauseMs = 120;

std::wstring LocalStamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return BackupStampText(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

void PutBackSetAside(const std::wstring& appFolder, const std::wstring& from, const std::wstring& to) {
    // No replacing: whatever stands under the program's name is kept.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED)) {
        JournalDownload(appFolder, "RESTAURADO_EXE_ANTERIOR;" + PathText(from) + ";->;" + PathText(to));
    } else {
        const DWORD error = GetLastError();
        JournalDownload(appFolder, "ERROR_RESTAURAR_EXE_ANTERIOR;" + PathText(from) + ";->;" + PathText(to) +
                                       ";err=" + DecimalText(error));
    }
}

}  // namespace

std::wstring SetAsidePath(const std::wstring& appFolder, const std::wstring& stem) {
    return JoinPath(appFolder, SetAsideFileName(stem));
}

void RestoreInterruptedSetAsides(const std::wstring& appFolder) {
    const auto isFile = [&appFolder](const std::wstring& name) { return IsExistingFile(JoinPath(appFolder, name)); };
    for (const SetAsideLeftover& leftover : SetAsidesLeftBehind(isFile)) {
        const std::wstring from = JoinPath(appFolder, leftover.setAsideName);
        if (leftover.repair == SetAsideRepair::PutBack) {
            PutBackSetAside(appFolder, from, JoinPath(appFolder, leftover.programName));
            continue;
        }
        // The program is in place; the set-aside may be the only copy of
        // the one it replaced (an update ended before its backup).
        std::wstring movedPath, backupFolder;
        const bool moved =
            MoveToBackups(appFolder, from, StripExtension(leftover.programName), movedPath, backupFolder);
        JournalDownload(appFolder, "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES;" + PathText(from) + ";->;" +
                                       (moved ? PathText(movedPath) : std::string("ERROR")));
    }
}

bool SetAsideExecutable(const std::wstring& appFolder, const std::wstring& currentPath, const std::wstring& stem,
                        SetAsideVariant variant) {
    unsigned long error = 0;
    return SetAsideExecutable(appFolder, currentPath, stem, variant, error);
}

bool SetAsideExecutable(const std::wstring& appFolder, const std::wstring& currentPath, const std::wstring& stem,
                        SetAsideVariant variant, unsigned long& error) {
    error = 0;
    const std::wstring target = SetAsidePath(appFolder, stem);
    if (IsExistingFile(target)) {
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(target.c_str());
    }
    const bool zip = variant == SetAsideVariant::ZipPackage;
    // The new executable then replaces the program in one rename (the
    // stored package, or the one unpacked): the old one is copied aside, so
    // its name never stands empty, whenever the update is ended.
    const BOOL done = CopyFileW(currentPath.c_str(), target.c_str(), FALSE);
    if (done) {
        JournalDownload(appFolder, (zip ? "RENOMBRADO_A_2_ZIP;" + PathText(currentPath) + ";->;"
                                        : "RENOMBRADO_A_2;" + PathText(currentPath) + ";") +
                                       PathText(target));
        return true;
    }
    error = GetLastError();
    JournalDownload(appFolder, std::string(zip ? "ERROR_RENOMBRAR_A_2_ZIP;" : "ERROR_RENOMBRAR_A_2;") +
                                   PathText(currentPath) + ";err=" + DecimalText(error));
    return false;
}

bool BackUpBeforeReplacing(const std::wstring& appFolder, const std::wstring& path, unsigned long& error) {
    error = 0;
    const std::wstring base = JoinPath(appFolder, BackupRootName);
    const std::wstring name = NameAfterLastSeparator(path);
    std::wstring destination;
    if (!EnsureDirectory(base)) {
        error = GetLastError();
    } else {
        // Two updates within one second share a stamp; the first copy is never overwritten.
        const std::wstring stamp = LocalStamp();
        for (int n = 0; n < NumberedNameAttempts && destination.empty(); ++n) {
            const std::wstring folder = JoinPath(base, NumberedName(stamp, n));
            if (!EnsureDirectory(folder)) {
                error = GetLastError();
                break;
            }
            const std::wstring candidate = JoinPath(folder, name);
            if (GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES) destination = candidate;
        }
        if (destination.empty() && error == 0) error = ERROR_ALREADY_EXISTS;
    }
    if (!destination.empty() && CopyFileW(path.c_str(), destination.c_str(), TRUE)) {
        JournalDownload(appFolder, "COPIA_PREVIA_PAQUETE;" + PathText(path) + ";->;" + PathText(destination));
        return true;
    }
    if (error == 0) error = GetLastError();
    JournalDownload(appFolder, "ERROR_COPIA_PREVIA_PAQUETE;" + PathText(path) + ";->;" +
                                   (destination.empty() ? PathText(base) : PathText(destination)) +
                                   ";err=" + DecimalText(error));
    return false;
}

bool MoveToBackups(const std::wstring& appFolder, const std::wstring& setAsidePath, const std::wstring& stem,
                   std::wstring& movedPath, std::wstring& backupFolder) {
    movedPath.clear();
    backupFolder.clear();
    if (!IsExistingFile(setAsidePath)) return false;
    const std::wstring base = JoinPath(appFolder, BackupRootName);
    if (!EnsureDirectory(base)) return false;
    const std::wstring folder = JoinPath(base, LocalStamp());
    if (!EnsureDirectory(folder)) return false;
    const std::wstring destination = JoinPath(folder, stem + L".exe");
    if (!MoveFileWithRetry(setAsidePath, destination)) {
        const DWORD error = GetLastError();
        JournalDownload(appFolder, "ERROR_MOVER_A_ACTUALIZACIONES_CARPETA;" + PathText(setAsidePath) + ";->;" +
                                       PathText(destination) + ";err=" + DecimalText(error));
        return false;
    }
    movedPath = destination;
    backupFolder = folder;
    return true;
}

void BackupDataFiles(const std::wstring& appFolder, const std::wstring& backupFolder, SetAsideVariant variant) {
    const int mdb = CopyFilesByPattern(appFolder, L"*.MDB", backupFolder, appFolder);
    const int bdmarv = CopyFilesByPattern(appFolder, L"*.BDMARV", backupFolder, appFolder);
    const char* code =
        variant == SetAsideVariant::ZipPackage ? "COPIA_PATRONES_RESUMEN_ZIP;dest=" : "COPIA_PATRONES_RESUMEN;dest=";
    JournalDownload(
        appFolder, code + PathText(backupFolder) + ";MDB=" + std::to_string(mdb) + ";BDMARV=" + std::to_string(bdmarv));
    std::wstring zipPath;
    // The backup is zipped; its journal lines go to the program folder.
    ZipFolder(backupFolder, appFolder, zipPath);  // NOLINT(readability-suspicious-call-argument)
}

bool BackUpSetAsideExecutable(const std::wstring& appFolder, const std::wstring& setAsidePath, const std::wstring& stem,
                              SetAsideVariant variant, std::wstring& movedPath) {
    std::wstring backupFolder;
    const bool moved = MoveToBackups(appFolder, setAsidePath, stem, movedPath, backupFolder);
    const char* code = variant == SetAsideVariant::ZipPackage ? "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES_ZIP;"
                                                              : "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES;";
    JournalDownload(appFolder,
                    code + PathText(setAsidePath) + ";->;" + (moved ? PathText(movedPath) : std::string("ERROR")));
    if (moved && !backupFolder.empty()) BackupDataFiles(appFolder, backupFolder, variant);
    return moved;
}

bool MoveFileWithRetry(const std::wstring& source, const std::wstring& destination) {
    for (int attempt = 0; attempt < MoveAttempts; ++attempt) {
        SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (MoveFileExW(source.c_str(), destination.c_str(), MoveFlags)) return true;
        Sleep(MoveRetryPauseMs);
    }
    SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) return false;
    SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(source.c_str()) != 0;
}

int CopyFilesByPattern(const std::wstring& sourceFolder, const std::wstring& pattern,
                       const std::wstring& destinationFolder, const std::wstring& journalFolder) {
    WIN32_FIND_DATAW entry;
    ScopedFind find(FindFirstFileW(JoinPath(sourceFolder, pattern).c_str(), &entry));
    if (!find.Valid()) {
        JournalDownload(journalFolder, "COPIA_PATRON_SIN_RESULTADOS;" + PathText(pattern) +
                                           ";src=" + PathText(sourceFolder) + ";dest=" + PathText(destinationFolder));
        return 0;
    }
    int count = 0;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring source = JoinPath(sourceFolder, entry.cFileName);
        const std::wstring destination = JoinPath(destinationFolder, entry.cFileName);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link is never followed: what it leads to is not this folder's.
            JournalDownload(journalFolder, "COPIA_ENLACE_OMITIDO;" + PathText(source));
            continue;
        }
        SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
            ++count;
            JournalDownload(journalFolder, "COPIA_OK;" + PathText(source) + ";->;" + PathText(destination));
        } else {
            const DWORD error = GetLastError();
            JournalDownload(journalFolder, "COPIA_ERROR;" + PathText(source) + ";->;" + PathText(destination) +
                                               ";err=" + DecimalText(error));
        }
    } while (FindNextFileW(find.Get(), &entry));
    return count;
}

bool ZipFolder(const std::wstring& folder, const std::wstring& journalFolder, std::wstring& zipPath) {
    const std::wstring zip = folder + L".zip";
    unsigned long exitCode = 0;
    const bool ok = RunHidden(ZipFolderCommand(PowerShellPath(), folder, zip), exitCode) && exitCode == 0;
    JournalDownload(journalFolder, "ZIP_CARPETA;" + PathText(folder) + ";->;" + PathText(zip) +
                                       ";estado=" + (ok ? "OK" : "ERROR") + ";ec=" + DecimalText(exitCode));
    if (ok) zipPath = zip;
    return ok;
}
