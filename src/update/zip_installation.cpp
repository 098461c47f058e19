#include "update/zip_installation.h"

#include <windows.h>

#include "app/app_folder_rules.h"
#include "app/archiver_trust.h"
#include "app/archiver_trust_rules.h"
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
        unsigned long setAsideError = 0;
        if (!SetAsideExecutable(appFolder, rootPath, stem, SetAsideVariant::ZipPackage, setAsideError)) {
            // Without its copy the old program could not be kept: nothing is installed.
            FailInstallation(outcome, setAsideError, "exe anterior no copiable", "COPIAR_EXE_ANTERIOR");
            return;
        }
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
        outcome.installedName = name;
        BackUpSetAsideExecutable(appFolder, setAside, stem, SetAsideVariant::ZipPackage, outcome.previousCopy);
        return;
    }
    JournalDownload(appFolder, "ZIP_EXE_SIN_MATCH_EN_RAIZ");
}

// Removes a folder this update made, depth first. A link inside it is
// removed itself, never followed. Journals nothing; false when anything stays.
bool RemoveOwnFolderTree(const std::wstring& folder) {  // NOLINT(misc-no-recursion)
    bool removed = true;
    ForEachEntry(folder, [&removed](const std::wstring& path, bool isDirectory) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        const bool link = IsReparsePoint(path);
        if (isDirectory && !link) {
            removed = RemoveOwnFolderTree(path) && removed;
        } else if (!(isDirectory ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))) {
            removed = false;
        }
        return true;
    });
    return RemoveDirectoryW(folder.c_str()) != 0 && removed;
}

// A new folder beside the package for its contents, never one that was
// there before (an earlier package's, or a folder of the customer's that
// shares the package's name): the package's stem when nothing has that
// name, else "<stem>_2", "<stem>_3", ... The first name taken is journalled.
bool CreateExtractionFolder(const std::wstring& appFolder, const std::wstring& packagePath, std::wstring& folder,
                            unsigned long& error) {
    const std::wstring stemPath = StripExtension(packagePath);
    for (int n = 0; n < NumberedNameAttempts; ++n) {
        folder = NumberedName(stemPath, n);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            if (n > 0) JournalDownload(appFolder, "CARPETA_EXTRACCION_OCUPADA;" + PathText(stemPath) + ";->;" +
                                                      PathText(folder));
            return true;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) break;
    }
    JournalDownload(appFolder, "ERROR_CREAR_CARPETA_EXTRACCION;" + PathText(folder) + ";err=" + DecimalText(error));
    return false;
}

// After a failed extraction: the package and what was unpacked of it go,
// so that a package that cannot be unpacked leaves nothing to pile up.
void RemoveFailedExtraction(const std::wstring& appFolder, const std::wstring& packagePath,
                            const std::wstring& extractionFolder) {
    if (DeleteFileW(packagePath.c_str())) {
        JournalDownload(appFolder, "LIMPIEZA_OK;ZIP_ELIMINADO;" + PathText(packagePath));
    }
    if (!extractionFolder.empty() && RemoveOwnFolderTree(extractionFolder)) {
        JournalDownload(appFolder, "LIMPIEZA_OK;CARPETA_EXTRACCION_ELIMINADA;" + PathText(extractionFolder));
    }
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
    std::string digest;
    if (!IsTrustedArchiver(sevenZip, digest)) {
        // Never run: the next start fetches a pinned one again.
        JournalDownload(appFolder, "7ZA_NO_CONFIABLE;" + PathText(sevenZip) +
                                       ";sha256=" + (digest.empty() ? std::string("-") : digest));
        code = ArchiverNotTrustedCode;
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
            if (IsReparsePoint(path)) return true;  // a link is never followed
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
    // The package is unpacked into a folder made for it alone: nothing an
    // earlier package or anyone else left is ever taken for this package's,
    // nor removed to make room.
    std::wstring extractionFolder;
    unsigned long folderError = 0;
    if (CreateExtractionFolder(appFolder, packagePath, extractionFolder, folderError)) {
        outcome.extracted = ExtractWith7za(appFolder, packagePath, extractionFolder, outcome.extractionCode);
    } else {
        outcome.extractionCode = folderError;
        extractionFolder.clear();
    }
    AppendJournal(appFolder, ExtractionJournalName,
                  "UNZIP_7ZA;" + PathText(packagePath) + ";->;" +
                      PathText(extractionFolder.empty() ? StripExtension(packagePath) : extractionFolder) + ";" +
                      (outcome.extracted ? "OK" : "ERROR") + ";ec=" + DecimalText(outcome.extractionCode));
    if (!outcome.extracted) {
        RemoveFailedExtraction(appFolder, packagePath, extractionFolder);
        return outcome;
    }

    DownloadProgress.store(90);
    UpdateStep.store(2);
    RefreshServerComponent(appFolder, extractionFolder);
    RunRegistrationScript(appFolder, extractionFolder);
    MatchAndReplaceExecutable(appFolder, extractionFolder, outcome);
    CleanUp(appFolder, packagePath, extractionFolder);
    return outcome;
}
