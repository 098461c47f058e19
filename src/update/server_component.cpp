#include "update/server_component.h"

#include <windows.h>

#include <cstdio>

#include "app/app_folder_rules.h"
#include "app/archiver_trust.h"
#include "support/folder_walk.h"
#include "support/journal.h"
#include "support/process_runner.h"
#include "update/package_files.h"
#include "update/package_naming.h"
#include "update/update_commands.h"

namespace {

constexpr DWORD PauseBeforeStartMs = 5000;
constexpr DWORD PauseAfterStartMs = 2000;
constexpr DWORD PauseBeforeSecondServiceStartMs = 5000;

void Line(const std::wstring& appFolder, const char* text) {
    AppendDownloadJournal(appFolder, std::string("MARVEKSERVER:") + text);
}

// `format` takes exactly one %lu.
void Line(const std::wstring& appFolder, const char* format, unsigned long value) {
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    Line(appFolder, text);
}

void StartService(const std::wstring& appFolder) {
    unsigned long code = ElevatedExitCodeUnset;
    if (RunElevatedCmd(L"net start MarvekPedidos", code) && code == 0) {
        Line(appFolder, "ADMIN_NETSTART_OK;ec=%lu", code);
        return;
    }
    Line(appFolder, "ADMIN_NETSTART_FALLO_PRIMER_INTENTO;ec=%lu", code);
    Sleep(PauseBeforeSecondServiceStartMs);
    if (RunElevatedCmd(L"net start MarvekPedidos", code)) {
        Line(appFolder, "ADMIN_NETSTART_OK_SEGUNDO_INTENTO;ec=%lu", code);
    } else {
        Line(appFolder, "ADMIN_NETSTART_ELEVACION_FALLIDA_O_CANCELADA_SEGUNDO");
    }
}

}  // namespace

bool FindFileBySuffix(const std::wstring& folder, const std::wstring& lowerSuffix, std::wstring& path) {
    path = FindFileBelow(folder,
                         [&lowerSuffix](const std::wstring& name) { return EndsWithIgnoringCase(name, lowerSuffix); });
    return !path.empty();
}

bool ExtractServerArchive(const std::wstring& appFolder, const std::wstring& archive, const std::wstring& destination,
                          unsigned long& code) {
    code = 0xFFFFFFFFu;
    const std::wstring sevenZip = JoinPath(appFolder, L"7za.exe");
    // A 7za.exe the build does not pin is never run; PowerShell unpacks instead.
    if (GetFileAttributesW(sevenZip.c_str()) != INVALID_FILE_ATTRIBUTES && IsTrustedArchiver(sevenZip)) {
        if (!EnsureDirectory(destination)) return false;
        unsigned long exitCode = 0;
        if (RunHidden(SevenZipExtractCommand(sevenZip, archive, destination), exitCode) && exitCode <= 1) {
            code = exitCode;
            return true;
        }
    }
    unsigned long exitCode = 0;
    const bool ran = RunHidden(ExpandArchiveCommand(PowerShellPath(), archive, destination), exitCode);
    code = exitCode;
    return ran && exitCode == 0;
}

void RefreshServerComponent(const std::wstring& appFolder, const std::wstring& extractionFolder) {
    std::wstring found;
    if (!FindFileBySuffix(extractionFolder, L"marvekserver.zip", found)) {
        Line(appFolder, "NO_ENCONTRADO");
        return;
    }
    const std::wstring parent = ParentFolder(appFolder);
    if (parent.empty()) {
        Line(appFolder, "ERROR_SIN_PARENT");
        return;
    }
    const std::wstring serverFolder = JoinPath(parent, L"MarvekServer");
    if (!EnsureDirectory(serverFolder)) {
        Line(appFolder, "ERROR_CREAR_CARPETA_MARVEKSERVER");
        return;
    }
    std::wstring archive = JoinPath(serverFolder, L"marvekserver.zip");
    if (MoveFileExW(found.c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        Line(appFolder, "MOVER_OK");
    } else {
        Line(appFolder, "MOVER_ERROR;err=%lu", GetLastError());
        archive = found;
    }

    unsigned long code = ElevatedExitCodeUnset;
    if (RunElevatedCmd(L"taskkill /f /im marvekserver.exe", code)) {
        Line(appFolder, "ADMIN_TASKKILL_OK;ec=%lu", code);
    } else {
        Line(appFolder, "ADMIN_TASKKILL_ELEVACION_FALLIDA_O_CANCELADA");
    }
    if (RunElevatedCmd(L"net stop MarvekPedidos", code)) {
        Line(appFolder, "ADMIN_NETSTOP_OK;ec=%lu", code);
    } else {
        Line(appFolder, "ADMIN_NETSTOP_ELEVACION_FALLIDA_O_CANCELADA");
    }

    unsigned long extractCode = 0;
    if (ExtractServerArchive(appFolder, archive, serverFolder, extractCode)) {
        Line(appFolder, "DESCOMPRIMIR_OK;ec=%lu", extractCode);
        if (DeleteFileW(archive.c_str())) {
            Line(appFolder, "ELIMINAR_ZIP_OK");
        } else {
            Line(appFolder, "ELIMINAR_ZIP_ERROR;err=%lu", GetLastError());
        }
    } else {
        // Kept, so that the component can still be unpacked by hand.
        Line(appFolder, "DESCOMPRIMIR_ERROR;ec=%lu", extractCode);
    }

    Sleep(PauseBeforeStartMs);
    const std::wstring program = JoinPath(serverFolder, L"marvekserver.exe");
    if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Line(appFolder, "EXE_NO_ENCONTRADO");
    } else {
        unsigned long error = 0;
        if (StartHidden(L"\"" + program + L"\"", serverFolder, error)) {
            Line(appFolder, "EJECUTAR_EXE_OK");
            Sleep(PauseAfterStartMs);
        } else {
            Line(appFolder, "EJECUTAR_EXE_ERROR;err=%lu", error);
        }
    }
    StartService(appFolder);
}
