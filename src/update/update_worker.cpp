#include "update/update_worker.h"

#include <memory>
#include <vector>

#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "app/product_probe.h"
#include "app/signing_settings.h"
#include "net/body_reader.h"
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
#include "update/release_statement.h"
#include "update/statement_checks.h"
#include "update/statement_verification.h"
#include "update/start_watch.h"
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

// How the fetched bytes are checked: against the offer's "sha256", a bare
// "firma" (a transition's way) and the release statement, each when present.
struct PackageChecks {
    const std::string* expectedSha256 = nullptr;
    const std::string* signature = nullptr;
    const ReleaseStatement* statement = nullptr;
};

// A statement's refusal: journalled with its check, reported as a failed
// fetch with the check as the failed step and its trust code.
std::string StatementJournalText(StatementCheck check, const std::string& packageUrl, const std::string& detail = "") {
    return std::string(StatementCheckCode(check)) + ";" + packageUrl + detail;
}

void FailStatement(const RunState& run, const PackageState& package, StatementCheck check,
                   const std::string& packageUrl, const std::string& detail) {
    FailFetch(run, package, static_cast<std::int32_t>(StatementCheckTrustCode(check)), StatementCheckMessage(check),
              StatementJournalText(check, packageUrl, detail), StatementCheckCode(check));
}

// True when the bytes are as long as stated and have the stated SHA-256.
bool CheckStatedPackage(const RunState& run, const std::string& packageUrl, const PackageState& package,
                        const ReleaseStatement& statement, std::uint64_t size, const std::string& sha256) {
    const StatementCheck check = CheckStatedBytes(statement, size, sha256);
    if (check == StatementCheck::Passed) return true;
    const std::string detail = check == StatementCheck::Size
                                   ? ";declarado=" + std::to_string(statement.size) + ";obtenido=" + std::to_string(size)
                                   : ";declarado=" + statement.sha256 + ";obtenido=" + sha256;
    FailStatement(run, package, check, packageUrl, detail);
    return false;
}

// Fetches and stores the package. On failure: journalled, reported, the
// set-aside program put back and started again; false.
bool FetchAndStore(const RunState& run, const std::string& packageUrl, const PackageState& package,
                   const PackageChecks& checks) {
    std::vector<unsigned char> bytes;
    unsigned long fetchError = 0;
    std::string actualSha256;  // taken as the bytes arrive, when anything is to be checked
    PackageFetchOptions options = ResumeJournal(run, packageUrl);
    // No more than the stated bytes are ever taken in.
    if (checks.statement != nullptr) options.lengthLimit = checks.statement->size;
    const bool hashed = checks.expectedSha256 != nullptr || checks.signature != nullptr || checks.statement != nullptr;
    const bool fetched = hashed ? FetchPackageHashed(packageUrl, bytes, fetchError, options, actualSha256)
                                : DownloadUrlBytes_URL(packageUrl, bytes, fetchError, options);
    if (!fetched && checks.statement != nullptr && fetchError == BodyTooLarge) {
        FailStatement(run, package, StatementCheck::Size, packageUrl,
                      ";declarado=" + std::to_string(checks.statement->size) + ";obtenido=mas");
        return false;
    }
    if (!fetched) {
        FailFetch(run, package, static_cast<std::int32_t>(fetchError), "DownloadUrlBytes_URL fallo");
        return false;
    }
    if (checks.statement != nullptr &&
        !CheckStatedPackage(run, packageUrl, package, *checks.statement, bytes.size(), actualSha256)) {
        return false;
    }
    if (!CheckPackageHash(run, packageUrl, package, actualSha256, checks.expectedSha256)) return false;
    if (checks.signature != nullptr &&
        !CheckPackageSignature(run, packageUrl, package, actualSha256, *checks.signature)) {
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

// The backup of the program an executable package replaced; empty when none was made.
std::wstring BackUpReplacedExecutable(const RunState& run, const std::wstring& packageName) {
    const std::wstring stem = StripExtension(packageName);
    const std::wstring setAside = SetAsidePath(run.appFolder, stem);
    if (!IsExistingFile(setAside)) return std::wstring();
    std::wstring movedPath;
    BackUpSetAsideExecutable(run.appFolder, setAside, stem, SetAsideVariant::ExecutablePackage, movedPath);
    return movedPath;
}

std::string Utf8Of(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr,
                            nullptr);
    }
    return text;
}

// The window watches the start of a program the update replaced: the
// worker tells it which, with the backup of the one before.
void NoteReplacedProgram(const RunState& run, const std::string& packageUrl, const std::wstring& installedName,
                         const std::wstring& previousCopy, bool zipPackage) {
    if (installedName.empty() || run.programExe.empty() || LowerAscii(installedName) != LowerAscii(run.programExe)) {
        return;
    }
    PendingStartWatch watch;
    watch.exeName = Utf8Of(run.programExe);
    watch.previousCopy = Utf8Of(previousCopy);
    watch.productKey = run.identity.productKey;
    watch.settingsKey = run.identity.settingsKey;
    watch.previousVersion = run.identity.productVersion;
    watch.newVersion = ProductVersion(JoinPath(run.appFolder, run.programExe));
    watch.url = packageUrl;
    watch.zipPackage = zipPackage;
    NoteInstalledProgram(watch);
}

}  // namespace

namespace {

// The statement's checks that need nothing fetched, made before the program
// is stopped: a refusal leaves it running, untouched, and is journalled and
// reported. True, with the statement, when every check passed.
bool AcceptStatement(const RunState& run, const UpdateOffer& offer, ReleaseStatement& statement) {
    int slot = 0;
    StatementCheck check = VerifyStatementTexts(offer.statement, offer.statementSignature, statement, slot);
    if (check == StatementCheck::Passed) {
        StatementExpectation expected;
        expected.kind = StatementKind::Program;
        expected.product = run.identity.productKey;
        expected.programVersion = run.identity.productVersion;
        expected.installedFloor = InstalledVersionFloor(run.appFolder, run.identity.productKey);
        const bool nameUsable = IsSafePackageName(run.appFolder, WidenBytes(statement.fileName));
        check = CheckStatement(statement, expected, nameUsable);
        if (check == StatementCheck::Version) {
            JournalDownload(run.appFolder, StatementJournalText(check, offer.packageUrl,
                                                                ";declarada=" + statement.version + ";programa=" +
                                                                    expected.programVersion + ";instalada=" +
                                                                    expected.installedFloor));
        } else if (check != StatementCheck::Passed) {
            JournalDownload(run.appFolder, StatementJournalText(check, offer.packageUrl));
        }
    } else {
        JournalDownload(run.appFolder, StatementJournalText(check, offer.packageUrl));
    }
    if (check != StatementCheck::Passed) {
        Report(run, "DESCARGA_FALLIDA", static_cast<std::int32_t>(StatementCheckTrustCode(check)),
               StatementCheckMessage(check), StatementCheckCode(check));
        return false;
    }
    JournalDownload(run.appFolder, StatementJournalText(check, offer.packageUrl,
                                                        ";clave=" + std::to_string(slot) + ";version=" +
                                                            statement.version + ";archivo=" + statement.fileName));
    return true;
}

}  // namespace

void InstallUpdate(const UpdateOffer& offer) {
    const std::string& packageUrl = offer.packageUrl;
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
    // An earlier update's start is judged before this one stops the program.
    WaitForStartWatches();
    const OfferVerification verification = BuildOfferVerification(offer.hasStatement, offer.hasSignature);
    ReleaseStatement statement;
    // What the offer alone tells is refused before the program is stopped,
    // which then stays running, untouched.
    if (!packageUrl.empty() && verification == OfferVerification::RefuseMissing) {
        const StatementCheck missing = StatementCheck::Missing;
        JournalDownload(run.appFolder, StatementJournalText(missing, packageUrl));
        Report(run, "DESCARGA_FALLIDA", static_cast<std::int32_t>(StatementCheckTrustCode(missing)),
               StatementCheckMessage(missing), StatementCheckCode(missing));
        return;
    }
    if (!packageUrl.empty() && verification == OfferVerification::VerifyStatement &&
        !AcceptStatement(run, offer, statement)) {
        return;
    }
    if (!run.programExe.empty()) StopApplication(run.appFolder, run.programExe);

    if (packageUrl.empty()) {
        JournalDownload(run.appFolder, "URL_VACIA");
        Report(run, "URL_VACIA", 0, "URL vacia", "URL_VACIA");
        RelaunchApplication(run.appFolder, run.programExe);
        return;
    }

    const bool stated = verification == OfferVerification::VerifyStatement;
    // A stated package is stored under the stated name; the address decides nothing else.
    const std::wstring packageName = stated ? WidenBytes(statement.fileName) : PackageFileNameFromUrl(packageUrl);
    if (!stated && !IsSafePackageName(run.appFolder, packageName)) {
        // Refused before anything is touched: Windows would store or unpack it
        // elsewhere, or it would take the place of one of the agent's own files.
        FailFetch(run, PackageState(), ERROR_INVALID_NAME, "nombre de paquete no valido",
                  "NOMBRE_PAQUETE_INVALIDO;" + packageUrl);
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
    PackageChecks checks;
    checks.expectedSha256 = offer.hasSha256 ? &offer.sha256 : nullptr;
    checks.signature = verification == OfferVerification::VerifySignature ? &offer.signature : nullptr;
    checks.statement = stated ? &statement : nullptr;
    if (!FetchAndStore(run, packageUrl, package, checks)) return;

    DownloadProgress.store(75);
    UpdateStep.store(1);
    JournalDownload(run.appFolder, "DESCARGA;" + packageUrl + ";" + PathText(packagePath));

    std::wstring installedName, previousCopy;
    const bool zipPackage = HasZipExtension(packagePath);
    if (zipPackage) {
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
        installedName = zip.installedName;
        previousCopy = zip.previousCopy;
    } else if (package.executable) {
        installedName = packageName;
        previousCopy = BackUpReplacedExecutable(run, packageName);
    }

    // What was installed under a statement is the floor of every later one.
    if (stated) RecordInstalledVersion(run.appFolder, run.identity.productKey, statement.version);
    DownloadProgress.store(100);
    UpdateStep.store(3);
    Report(run, ResultOk, 0, "", "");
    RelaunchApplication(run.appFolder, run.programExe);
    NoteReplacedProgram(run, packageUrl, installedName, previousCopy, zipPackage);
}

DWORD WINAPI UpdateWorkerThread(LPVOID parameter) {
    std::unique_ptr<WorkerStartRecord> record(static_cast<WorkerStartRecord*>(parameter));
    InstallUpdate(record->offer);
    PostMessageW(record->window, UpdateFinishedMessage, 0, 0);
    return 0;
}
