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
    RemoveEarlierRegistrationScripts(appFolder, extractionFolder);
    outcome.extracted = ExtractWith7za(appFolder, packagePath, extractionFolder, outcome.extractionCode);
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
