#include "update/update_worker.h"

#include <memory>
#include <vector>

#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "app/product_probe.h"
#include "app/signing_settings.h"
#include "net/download_progress.h"
#include "net/url_fetch.h"
#include "service/installation_descriptor.h"
#include "service/report_text.h"
#include "service/reports.h"
#include "support/file_probe.h"
#include "support/text.h"
#include "update/application_control.h"
#include "update/executable_replacement.h"
#include "update/package_checks.h"
#include "update/package_files.h"
#include "update/package_hash.h"
#include "update/package_hash_rules.h"
#include "update/package_naming.h"
#include "update/package_signature.h"
#include "update/update_progress.h"
#include "update/zip_installation.h"

namespace {

struct RunState {
    std::wstring appFolder;
    InstallationIdentity identity;
    UpdateReportContext report;
    std::wstring programExe;
};

void Report(const RunState& run, const char* result, std::int32_t code, const char* message, const char* step) {
    ReportUpdateOutcome(run.report, result, code, message, step);
}

// After a failed fetch or save of an executable package whose namesake was
// set aside: the copy goes back over the program (the same bytes, as the
// program was never replaced), so that no set-aside stays behind.
void RestoreSetAside(const RunState& run, const std::wstring& setAside, const std::wstring& packagePath) {
    if (MoveFileExW(setAside.c_str(), packagePath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        JournalDownload(run.appFolder,
                        "RESTAURADO_EXE_ANTERIOR;" + PathText(setAside) + ";->;" + PathText(packagePath));
    } else {
        const DWORD error = GetLastError();
        JournalDownload(run.appFolder, "ERROR_RESTAURAR_EXE_ANTERIOR;" + PathText(setAside) + ";->;" +
                                           PathText(packagePath) + ";err=" + DecimalText(error));
    }
}

// The package as it is about to be fetched and stored.
struct PackageState {
    std::wstring path;
    std::wstring setAside;
    bool executable = false;
    bool setAsideDone = false;
    bool setAsideFailed = false;  // the program could not be copied aside
    unsigned long setAsideError = 0;
};

// A package that could not be fetched, checked or stored (or a name that is
// refused): nothing is kept, the set-aside program goes back and is started.
void FailFetch(const RunState& run, const PackageState& package, std::int32_t code, const char* message,
               const std::string& journalText = "ERROR_DESCARGA", const char* step = "DESCARGA") {
    JournalDownload(run.appFolder, journalText);
    Report(run, "DESCARGA_FALLIDA", code, message, step);
    if (package.setAsideDone) RestoreSetAside(run, package.setAside, package.path);
    RelaunchApplication(run.appFolder, run.programExe);
}

// The package's path; an executable package's namesake is set aside.
PackageState PreparePackage(const RunState& run, const std::wstring& packageName) {
    PackageState package;
    package.path = JoinPath(run.appFolder, packageName);
    package.executable = IsExecutablePackageName(packageName);
    package.setAside = SetAsidePath(run.appFolder, StripExtension(packageName));
    if (package.executable && IsExistingFile(package.path)) {
        package.setAsideDone = SetAsideExecutable(run.appFolder, package.path, StripExtension(packageName),
                                                  SetAsideVariant::ExecutablePackage, package.setAsideError);
        package.setAsideFailed = !package.setAsideDone;
    }
    return package;
}

// The fetch journals each further attempt of a cut transfer.
PackageFetchOptions ResumeJournal(const RunState& run, const std::string& packageUrl) {
    PackageFetchOptions options;
    options.onResume = [&run, &packageUrl](std::uint64_t held, int attempt) {
        JournalDownload(run.appFolder, "REANUDAR_DESCARGA;" + packageUrl + ";desde=" + std::to_string(held) +
                                           ";intento=" + std::to_string(attempt));
    };
    return options;
}

// True when no hash was named or the package's matches it; otherwise the
// update fails as a fetch does, before anything is written.
bool CheckPackageHash(const RunState& run, const std::string& packageUrl, const PackageState& package,
                      const std::string& actual, const std::string* expected) {
    if (expected == nullptr) return true;
    if (Sha256Matches(*expected, actual)) return true;
    FailFetch(run, package, ERROR_INVALID_DATA, "hash del paquete no coincide",
              "HASH_NO_COINCIDE;" + packageUrl + ";esperado=" + *expected + ";obtenido=" + actual, "VERIFICAR_HASH");
    return false;
}

// True when the package's digest verifies under one of the build's keys;
// otherwise the update fails as a fetch does, before anything is written.
bool CheckPackageSignature(const RunState& run, const std::string& packageUrl, const PackageState& package,
                           const std::string& actualSha256, const std::string& signature) {
    const int slot = VerifyingKeySlot(BuildSigningSettings(), actualSha256, signature);
    if (slot == 0) {
        FailFetch(run, package, static_cast<std::int32_t>(SignatureInvalidCode), "firma del paquete no valida",
                  "FIRMA_NO_VALIDA;" + packageUrl, "VERIFICAR_FIRMA");
        return false;
    }
    JournalDownload(run.appFolder, "FIRMA_VALIDA;" + packageUrl + ";clave=" + std::to_string(slot));
    return true;
}

// Fetches and stores the package; `signature` is null when the build does
// not verify this offer. On failure: journalled, reported, the set-aside
// program put back and started again; false.
bool FetchAndStore(const RunState& run, const std::string& packageUrl, const PackageState& package,
                   const std::string* expectedSha256, const std::string* signature) {
    std::vector<unsigned char> bytes;
    unsigned long fetchError = 0;
    std::string actualSha256;  // taken as the bytes arrive, when the offer names one or is verified
    const bool fetched =
        expectedSha256 != nullptr || signature != nullptr
            ? FetchPackageHashed(packageUrl, bytes, fetchError, ResumeJournal(run, packageUrl), actualSha256)
            : DownloadUrlBytes_URL(packageUrl, bytes, fetchError, ResumeJournal(run, packageUrl));
    if (!fetched) {
        FailFetch(run, package, static_cast<std::int32_t>(fetchError), "DownloadUrlBytes_URL fallo");
        return false;
    }
    if (!CheckPackageHash(run, packageUrl, package, actualSha256, expectedSha256)) return false;
    if (signature != nullptr && !CheckPackageSignature(run, packageUrl, package, actualSha256, *signature)) {
        return false;
    }
    if (package.executable && !StartsWithMz(bytes)) {
        FailFetch(run, package, ERROR_BAD_EXE_FORMAT, "paquete no es un ejecutable");
        return false;
    }
    // A file the package replaces that is no program set aside (a data file,
    // an archive of the customer's) is kept in a backup first.
    unsigned long backupError = 0;
    if (!package.executable && IsExistingFile(package.path) &&
        !BackUpBeforeReplacing(run.appFolder, package.path, backupError)) {
        Report(run, "DESCARGA_FALLIDA", static_cast<std::int32_t>(backupError), "copia previa fallo", "COPIA_PREVIA");
        RelaunchApplication(run.appFolder, run.programExe);
        return false;
    }
    if (!SaveBytesToFile(package.path, bytes)) {
        const DWORD saveError = GetLastError();
        FailFetch(run, package, static_cast<std::int32_t>(saveError), "SaveBytesToFile fallo", "ERROR_GUARDAR",
                  "GUARDAR_DISCO");
        return false;
    }
    return true;
}

void BackUpReplacedExecutable(const RunState& run, const std::wstring& packageName) {
    const std::wstring stem = StripExtension(packageName);
    const std::wstring setAside = SetAsidePath(run.appFolder, stem);
    if (!IsExistingFile(setAside)) return;
    std::wstring movedPath;
    BackUpSetAsideExecutable(run.appFolder, setAside, stem, SetAsideVariant::ExecutablePackage, movedPath);
}

}  // namespace

void InstallUpdate(const std::string& packageUrl, const std::string* expectedSha256, const std::string* signature) {
    RunState run;
    run.appFolder = GetAppFolder();
    run.report.startTick = GetTickCount64();
    run.identity = GatherInstallationIdentity();
    run.report.identity = &run.identity;
    run.report.appFolder = &run.appFolder;
    run.report.updateUrl = &packageUrl;
    DownloadProgress.store(0);
    UpdateStep.store(0);

    run.programExe = FindProductExeForUpdate(run.appFolder);
    if (!run.programExe.empty()) StopApplication(run.appFolder, run.programExe);

    if (packageUrl.empty()) {
        JournalDownload(run.appFolder, "URL_VACIA");
        Report(run, "URL_VACIA", 0, "URL vacia", "URL_VACIA");
        RelaunchApplication(run.appFolder, run.programExe);
        return;
    }

    const std::wstring packageName = PackageFileNameFromUrl(packageUrl);
    if (!IsSafePackageName(run.appFolder, packageName)) {
        // Refused before anything is touched: Windows would store or unpack it
        // elsewhere, or it would take the place of one of the agent's own files.
        FailFetch(run, PackageState(), ERROR_INVALID_NAME, "nombre de paquete no valido",
                  "NOMBRE_PAQUETE_INVALIDO;" + packageUrl);
        return;
    }
    const SignatureStep signatureStep = BuildSignatureStep(signature != nullptr);
    if (signatureStep == SignatureStep::RefuseUnsigned) {
        FailFetch(run, PackageState(), static_cast<std::int32_t>(SignatureMissingCode), "paquete sin firma",
                  "FIRMA_AUSENTE;" + packageUrl, "VERIFICAR_FIRMA");
        return;
    }
    const PackageState package = PreparePackage(run, packageName);
    if (package.setAsideFailed) {
        // Without its copy the old program could not be kept: nothing is fetched.
        Report(run, "INSTALACION_FALLIDA", static_cast<std::int32_t>(package.setAsideError), "exe anterior no copiable",
               "COPIAR_EXE_ANTERIOR");
        RelaunchApplication(run.appFolder, run.programExe);
        return;
    }
    const std::wstring& packagePath = package.path;
    if (!FetchAndStore(run, packageUrl, package, expectedSha256,
                       signatureStep == SignatureStep::Verify ? signature : nullptr)) {
        return;
    }

    DownloadProgress.store(75);
    UpdateStep.store(1);
    JournalDownload(run.appFolder, "DESCARGA;" + packageUrl + ";" + PathText(packagePath));

    if (HasZipExtension(packagePath)) {
        const ZipBranchOutcome zip = InstallZipPackage(run.appFolder, packagePath);
        if (!zip.extracted) {
            Report(run, "DESCOMPRESION_FALLIDA", static_cast<std::int32_t>(zip.extractionCode), "7za unzip fallo",
                   "UNZIP_7ZA");
            RelaunchApplication(run.appFolder, run.programExe);
            return;
        }
        if (zip.installFailed) {
            Report(run, "INSTALACION_FALLIDA", static_cast<std::int32_t>(zip.installError), zip.failureMessage,
                   zip.failedStep);
            RelaunchApplication(run.appFolder, run.programExe);
            return;
        }
    } else if (package.executable) {
        BackUpReplacedExecutable(run, packageName);
    }

    DownloadProgress.store(100);
    UpdateStep.store(3);
    Report(run, ResultOk, 0, "", "");
    RelaunchApplication(run.appFolder, run.programExe);
}

DWORD WINAPI UpdateWorkerThread(LPVOID parameter) {
    std::unique_ptr<WorkerStartRecord> record(static_cast<WorkerStartRecord*>(parameter));
    InstallUpdate(record->packageUrl, record->hasSha256 ? &record->sha256 : nullptr,
                  record->hasSignature ? &record->signature : nullptr);
    PostMessageW(record->window, UpdateFinishedMessage, 0, 0);
    return 0;
}
