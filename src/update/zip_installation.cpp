#include "update/zip_installation.h"

#include <windows.h>

#include "app/app_folder_rules.h"
#include "net/download_progress.h"
#include "support/file_probe.h"
#include "support/folder_walk.h"
#include "support/journal.h"
#include "support/journal_format.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/executable_replacement.h"
#include "update/package_files.h"
#include "update/package_naming.h"
#include "update/registration_script.h"
#include "update/server_component.h"
#include "update/update_commands.h"
#include "update/update_progress.h"

namespace {

// After the new executable could not be moved in (which may still have
// copied it over the program): the old one goes back from its set-aside copy.
void RestorePreviousExecutable(const std::wstring& appFolder, const std::wstring& setAside,
                               const std::wstring& programPath) {
    if (MoveFileExW(setAside.c_str(), programPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        JournalDownload(appFolder, "RESTAURADO_EXE_ANTERIOR;" + PathText(setAside) + ";->;" + PathText(programPath));
    } else {
        const DWORD error = GetLastError();
        JournalDownload(appFolder, "ERROR_RESTAURAR_EXE_ANTERIOR;" + PathText(setAside) + ";->;" +
                                       PathText(programPath) + ";err=" + DecimalText(error));
    }
}

void FailInstallation(ZipBranchOutcome& outcome, unsigned long error, const char* message, const char* step) {
    outcome.installFailed = true;
    outcome.installError = error;
    outcome.failureMessage = message;
    outcome.failedStep = step;
}

// Installs the first candidate that replaces a namesake in the application
// folder. From the set-aside on, the program's name always holds a program:
// the old one is copied aside, the new one replaces it in one rename, and
// only then does the old one go into the backup with the data files, which
// can take minutes.
void MatchAndReplaceExecutable(const std::wstring& appFolder, const std::wstring& extractionFolder,
                               ZipBranchOutcome& outcome) {
    const std::vector<std::wstring> candidates = CollectExecutables(extractionFolder);
    if (candidates.empty()) JournalDownload(appFolder, "ZIP_SIN_EXE");
    for (const std::wstring& candidate : candidates) {
        const std::wstring name = NameAfterLastSeparator(candidate);
        const std::wstring rootPath = JoinPath(appFolder, name);
        if (!IsExistingFile(rootPath)) continue;
        if (LowerAscii(name) == L"trevanto.exe") {
            JournalDownload(appFolder, "ZIP_EXE_IGNORADO_TREVANTO;" + PathText(candidate));
            continue;
        }
        bool isProgram = false;
        unsigned long readError = 0;
        if (!ReadProgramSignature(candidate, isProgram, readError)) {
            // Held open elsewhere (antivirus does this): not a candidate that
            // is "no program", but an installation that cannot be done now.
            JournalDownload(appFolder, "ZIP_EXE_ILEGIBLE;" + PathText(candidate) + ";err=" + DecimalText(readError));
            FailInstallation(outcome, readError, "exe nuevo no legible", "LEER_EXE_NUEVO");
            return;
        }
        if (!isProgram) {
            JournalDownload(appFolder, "ZIP_EXE_INVALIDO_NO_PE;" + PathText(candidate));
            continue;
        }
        const std::wstring stem = StripExtension(name);
        if (!SetAsideExecutable(appFolder, rootPath, stem, SetAsideVariant::ZipPackage)) continue;
        const std::wstring setAside = SetAsidePath(appFolder, stem);
        if (!MoveFileWithRetry(candidate, rootPath)) {
            const DWORD error = GetLastError();
            JournalDownload(appFolder, "ERROR_MOVER_EXE_NUEVO_A_RAIZ;" + PathText(candidate) + ";->;" +
                                           PathText(rootPath) + ";err=" + DecimalText(error));
            RestorePreviousExecutable(appFolder, setAside, rootPath);
            FailInstallation(outcome, error, "MoveFileWithRetry fallo", "MOVER_EXE_NUEVO");
            return;
        }
        JournalDownload(appFolder, "EXE_NUEVO_EN_RAIZ_OK;" + PathText(candidate) + ";->;" + PathText(rootPath));
        std::wstring movedPath;
        BackUpSetAsideExecutable(appFolder, setAside, stem, SetAsideVariant::ZipPackage, movedPath);
        return;
    }
    JournalDownload(appFolder, "ZIP_EXE_SIN_MATCH_EN_RAIZ");
}

// Removes one entry an earlier package left; a registration script is
// journalled with its own codes.
bool RemoveLeftover(const std::wstring& appFolder, const std::wstring& path, bool isDirectory, unsigned long& error) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const bool script = !isDirectory && IsRegistrationScriptName(NameAfterLastSeparator(path));
    if (isDirectory ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())) {
        JournalDownload(appFolder, (script ? "REGISTRO_BAT_ANTERIOR_ELIMINADO;" : "RESTO_PAQUETE_ANTERIOR_ELIMINADO;") +
                                       PathText(path));
        return true;
    }
    error = GetLastError();
    JournalDownload(appFolder,
                    (script ? "ERROR_ELIMINAR_REGISTRO_BAT_ANTERIOR;" : "ERROR_ELIMINAR_RESTO_PAQUETE_ANTERIOR;") +
                        PathText(path) + ";err=" + DecimalText(error));
    return false;
}

// Empties a folder, depth first (a folder goes after its contents). A link
// to another folder is removed, never followed. False, with the first
// removal's error code, when anything stays.
bool EmptyFolder(const std::wstring& appFolder, const std::wstring& folder, unsigned long& error) {
    bool emptied = true;
    ForEachEntry(folder, [&](const std::wstring& path, bool isDirectory) {
        unsigned long entryError = 0;
        const bool link = (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDirectory && !link && !EmptyFolder(appFolder, path, entryError)) {
            // What could not be removed keeps the folder too.
        } else if (RemoveLeftover(appFolder, path, isDirectory, entryError)) {
            return true;
        }
        if (emptied) error = entryError;
        emptied = false;
        return true;
    });
    return emptied;
}

void CleanUp(const std::wstring& appFolder, const std::wstring& packagePath, const std::wstring& extractionFolder) {
    if (IsExistingFile(packagePath)) {
        if (DeleteFileW(packagePath.c_str())) {
            JournalDownload(appFolder, "LIMPIEZA_OK;ZIP_ELIMINADO;" + PathText(packagePath));
        } else {
            const DWORD error = GetLastError();
            JournalDownload(appFolder,
                            "LIMPIEZA_ERROR;ZIP_NO_ELIMINADO;" + PathText(packagePath) + ";err=" + DecimalText(error));
        }
    }
    if (IsFolderEmpty(extractionFolder)) {
        if (RemoveDirectoryW(extractionFolder.c_str())) {
            JournalDownload(appFolder, "LIMPIEZA_OK;CARPETA_VACIA_ELIMINADA;" + PathText(extractionFolder));
        } else {
            const DWORD error = GetLastError();
            JournalDownload(appFolder, "LIMPIEZA_ERROR;CARPETA_NO_ELIMINADA;" + PathText(extractionFolder) +
                                           ";err=" + DecimalText(error));
        }
    }
}

}  // namespace

bool ExtractWith7za(const std::wstring& appFolder, const std::wstring& archive, const std::wstring& destination,
                    unsigned long& code) {
    code = 0xFFFFFFFFu;
    if (!EnsureDirectory(destination)) return false;
    const std::wstring sevenZip = JoinPath(appFolder, L"7za.exe");
    if (!IsExistingFile(sevenZip)) {
        code = 2;
        return false;
    }
    unsigned long exitCode = 0;
    const bool ran = RunHidden(SevenZipExtractCommand(sevenZip, archive, destination), exitCode);
    code = exitCode;
    return ran && exitCode <= 1;
}

std::vector<std::wstring> CollectExecutables(const std::wstring& folder) {
    std::vector<std::wstring> found;
    ForEachEntry(folder, [&found](const std::wstring& path, bool isDirectory) {
        if (isDirectory) {
            const std::vector<std::wstring> inner = CollectExecutables(path);
            found.insert(found.end(), inner.begin(), inner.end());
        } else {
            const std::wstring name = NameAfterLastSeparator(path);
            const size_t dot = name.rfind(L'.');
            if (dot != std::wstring::npos && LowerAscii(name.substr(dot + 1)) == L"exe") found.push_back(path);
        }
        return true;
    });
    return found;
}

bool IsFolderEmpty(const std::wstring& folder) {
    bool empty = true;
    ForEachEntry(folder, [&empty](const std::wstring&, bool) { return empty = false; });
    return empty;
}

ZipBranchOutcome InstallZipPackage(const std::wstring& appFolder, const std::wstring& packagePath) {
    ZipBranchOutcome outcome;
    const std::wstring extractionFolder = StripExtension(packagePath);
    // The package is unpacked into an empty folder: an earlier package's
    // program or script left there must never be taken for this one's.
    unsigned long clearError = 0;
    if (EmptyFolder(appFolder, extractionFolder, clearError)) {
        outcome.extracted = ExtractWith7za(appFolder, packagePath, extractionFolder, outcome.extractionCode);
    } else {
        outcome.extractionCode = clearError;
    }
    AppendJournal(appFolder, ExtractionJournalName,
                  "UNZIP_7ZA;" + PathText(packagePath) + ";->;" + PathText(extractionFolder) + ";" +
                      (outcome.extracted ? "OK" : "ERROR") + ";ec=" + DecimalText(outcome.extractionCode));
    if (!outcome.extracted) return outcome;

    DownloadProgress.store(90);
    UpdateStep.store(2);
    RefreshServerComponent(appFolder, extractionFolder);
    RunRegistrationScript(appFolder, extractionFolder);
    MatchAndReplaceExecutable(appFolder, extractionFolder, outcome);
    CleanUp(appFolder, packagePath, extractionFolder);
    return outcome;
}
