#include "update/registration_script.h"

#include <windows.h>

#include <vector>

#include "app/app_folder_rules.h"
#include "support/folder_walk.h"
#include "support/process_runner.h"
#include "support/text.h"
#include "update/package_files.h"
#include "update/package_naming.h"
#include "update/update_commands.h"

namespace {

bool IsRegistrationScriptName(const std::wstring& name) {
    return LowerAscii(name) == L"registro.bat";
}

void CollectRegistrationScripts(const std::wstring& folder, std::vector<std::wstring>& scripts) {
    ForEachEntry(folder, [&scripts](const std::wstring& path, bool isDirectory) {
        if (isDirectory) {
            CollectRegistrationScripts(path, scripts);
        } else if (IsRegistrationScriptName(NameAfterLastSeparator(path))) {
            scripts.push_back(path);
        }
        return true;
    });
}

}  // namespace

void RemoveEarlierRegistrationScripts(const std::wstring& appFolder, const std::wstring& extractionFolder) {
    std::vector<std::wstring> scripts;
    CollectRegistrationScripts(extractionFolder, scripts);
    for (const std::wstring& script : scripts) {
        SetFileAttributesW(script.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(script.c_str())) {
            JournalDownload(appFolder, "REGISTRO_BAT_ANTERIOR_ELIMINADO;" + PathText(script));
        } else {
            const DWORD error = GetLastError();
            JournalDownload(appFolder,
                            "ERROR_ELIMINAR_REGISTRO_BAT_ANTERIOR;" + PathText(script) + ";err=" + DecimalText(error));
        }
    }
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
