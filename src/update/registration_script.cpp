#include "update/registration_script.h"

#include <windows.h>

#include "app/app_folder_rules.h"
#include "support/folder_walk.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/package_files.h"
#include "update/package_naming.h"
#include "update/update_commands.h"

bool IsRegistrationScriptName(const std::wstring& name) {
    return LowerAscii(name) == L"registro.bat";
}

bool FindRegistrationScript(const std::wstring& folder, std::wstring& scriptPath) {
    scriptPath = FindFileBelow(folder, IsRegistrationScriptName);
    return !scriptPath.empty();
}

void RunRegistrationScript(const std::wstring& appFolder, const std::wstring& extractionFolder) {
    std::wstring script;
    if (!FindRegistrationScript(extractionFolder, script)) {
        JournalDownload(appFolder, "REGISTRO_BAT_NO_ENCONTRADO");
        return;
    }
    JournalDownload(appFolder, "REGISTRO_BAT_LANZANDO_ADMIN;" + PathText(script));

    unsigned long exitCode = 0, launchError = 0;
    bool exitCodeRead = false;
    if (!RunElevated(ExpandedPath(L"%SystemRoot%\\System32\\cmd.exe"), RegistrationScriptParameters(script),
                     SW_SHOWNORMAL, exitCode, launchError, exitCodeRead)) {
        JournalDownload(appFolder,
                        "REGISTRO_BAT_LANZAMIENTO_ERROR;UAC_CANCELADO_O_FALLO;err=" + DecimalText(launchError));
        return;
    }
    JournalDownload(appFolder, "REGISTRO_BAT_EJECUTADO_ADMIN;" + PathText(script) + ";ec=" + DecimalText(exitCode));
}
