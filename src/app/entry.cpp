#include "app/entry.h"

#include "alerts/alerts_window.h"
#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "app/archiver_bootstrap_text.h"
#include "app/archiver_trust.h"
#include "app/archiver_trust_rules.h"
#include "app/product_probe.h"
#include "build_settings.h"
#include "housekeeping/startup_archiving.h"
#include "installer/installer_window.h"
#include "net/download_file.h"
#include "selfupdate/self_update.h"
#include "service/check_in.h"
#include "support/file_probe.h"
#include "support/journal.h"
#include "support/text.h"
#include "update/executable_replacement.h"
#include "update/start_watch.h"

void BootstrapArchiver(const std::wstring& appFolder) {
    const std::wstring archiverPath = JoinPath(appFolder, ArchiverFileName);
    std::string digest;
    if (IsTrustedArchiver(archiverPath, digest)) return;
    // Any other 7za.exe (a page kept by an earlier fetch, a program the
    // build does not pin) is never run: it goes, and is fetched again.
    if (IsExistingFile(archiverPath)) {
        AppendDownloadJournal(appFolder, "7ZA_NO_CONFIABLE_ELIMINADO;" + NarrowLowByte(archiverPath) +
                                             ";sha256=" + (digest.empty() ? std::string("-") : digest));
        DeleteFileW(archiverPath.c_str());
    }

    const std::wstring url = ArchiverBootstrapUrl(settings::DownloadHostW);
    unsigned long errorCode = 0;
    const bool downloaded = DownloadToFile(url, archiverPath, &errorCode);
    // DownloadToFile may have created the file that was missing above.
    // cppcheck-suppress knownConditionTrueFalse
    if (downloaded && IsExistingFile(archiverPath)) {
        if (IsTrustedArchiver(archiverPath, digest)) return;
        AppendDownloadJournal(appFolder, "7ZA_DESCARGADO_NO_CONFIABLE;" + NarrowLowByte(url) +
                                             ";sha256=" + (digest.empty() ? std::string("-") : digest));
        DeleteFileW(archiverPath.c_str());
        errorCode = ArchiverNotTrustedCode;
    }

    const std::wstring text = ArchiverErrorText(url, downloaded && errorCode != ArchiverNotTrustedCode ? 0 : errorCode);
    MessageBoxW(nullptr, text.c_str(), ArchiverErrorTitle, MB_ICONERROR);
}

int RunEntrySequence(HINSTANCE instance, int showCommand) {
    const std::wstring appFolder = GetEntryFolder();
    if (appFolder.empty()) return 0;

    // Before the mode is chosen: an update cut short must not leave the
    // folder without its program, which would make this start an installer.
    RestoreInterruptedSetAsides(appFolder);
    if (FindProductRow(appFolder, StartupOrder) < 0) {
        RunInstaller();
        return 0;
    }
    // A start an earlier run watched and never saw the end of is watched
    // now, to its end before the backups it may need are packed.
    FinishPendingStartWatch(appFolder);
    WaitForStartWatches();
    BootstrapArchiver(appFolder);
    RunStartupArchiving();
    if (!CheckSelfUpdate(appFolder)) {
        // The alerts are this run's answer: a recibido.json left by an earlier
        // run is not shown again when the new one could not take its place.
        if (CheckIn()) RunAlertsWindow(instance, showCommand);
    }
    // The agent ends once every start it watches is judged.
    WaitForStartWatches();
    return 0;
}
