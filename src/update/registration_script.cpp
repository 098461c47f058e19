#include "update/registration_script.h"

#include <windows.h>
#include <shellapi.h>

#include "app/app_folder_rules.h"
#include "support/handles.h"
#include "support/text.h"
#include "update/package_files.h"
#include "update/package_naming.h"
#include "update/update_commands.h"

bool FindRegistrationScript(const std::wstring& folder, std::wstring& scriptPath) {
    WIN32_FIND_DATAW entry;
    ScopedFind find(FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (!find.Valid()) return false;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = JoinPath(folder, name);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (FindRegistrationScript(path, scriptPath)) return true;
        } else if (LowerAscii(name) == L"registro.bat") {
            scriptPath = path;
            return true;
        }
    } while (FindNextFileW(find.Get(), &entry));
    return false;
}

void RunRegistrationScript(const std::wstring& appFolder, const std::wstring& extractionFolder) {
    std::wstring script;
    if (!FindRegistrationScript(extractionFolder, script)) {
        JournalDownload(appFolder, "REGISTRO_BAT_NO_ENCONTRADO");
        return;
    }
    JournalDownload(appFolder, "REGISTRO_BAT_LANZANDO_ADMIN;" + J(script));

    const std::wstring interpreter = ExpandedPath(L"%SystemRoot%\\System32\\cmd.exe");
    const std::wstring parameters = RegistrationScriptParameters(script);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = interpreter.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        JournalDownload(appFolder, "REGISTRO_BAT_LANZAMIENTO_ERROR;UAC_CANCELADO_O_FALLO;err=" + DecimalText(error));
        return;
    }
    DWORD exitCode = 0xFFFFFFFFu;
    if (info.hProcess != nullptr) {
        ScopedHandle process(info.hProcess);
        WaitForSingleObject(process.Get(), INFINITE);
        if (!GetExitCodeProcess(process.Get(), &exitCode)) exitCode = 0xFFFFFFFFu;
    }
    JournalDownload(appFolder, "REGISTRO_BAT_EJECUTADO_ADMIN;" + J(script) + ";ec=" + DecimalText(exitCode));
}
