#include "update/application_control.h"

#include <windows.h>
#include <shellapi.h>

#include "app/app_folder_rules.h"
#include "support/file_probe.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/package_files.h"
#include "update/start_watch.h"
#include "update/update_commands.h"

void StopApplication(const std::wstring& appFolder, const std::wstring& exeName) {
    unsigned long exitCode = 0;
    NoteProgramStopping(appFolder);
    const bool ran = RunHidden(TaskkillCommand(exeName), exitCode);
    JournalDownload(appFolder, "TASKKILL_APP;" + PathText(exeName) + ";estado=" + (ran ? "OK" : "ERROR") +
                                   ";ec=" + DecimalText(exitCode));
}

void RelaunchApplication(const std::wstring& appFolder, const std::wstring& exeName) {
    if (exeName.empty()) return;
    const std::wstring program = JoinPath(appFolder, exeName);
    if (!IsExistingFile(program)) {
        JournalDownload(appFolder, "RELANZAR_APP_NO_EXISTE;" + PathText(program));
        return;
    }
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", program.c_str(), nullptr, appFolder.c_str(), SW_SHOWNORMAL);
    const long value = static_cast<long>(reinterpret_cast<INT_PTR>(result));
    JournalDownload(appFolder, "RELANZAR_APP;" + PathText(program) + ";hinst=" + std::to_string(value));
}
