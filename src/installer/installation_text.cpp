#include "installer/installation_text.h"

std::wstring InstallPath(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == L'\\') return folder + name;
    return folder + L"\\" + name;
}

std::wstring AgentPackageUrl(const std::wstring& downloadHost) {
    return L"https://" + downloadHost + L"/parches/" + AgentPackageName;
}

std::wstring AgentStatementUrl(const std::wstring& downloadHost) {
    return L"https://" + downloadHost + L"/parches/" + AgentStatementName;
}

std::wstring HresultText(unsigned long hresult) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) text += digits[(hresult >> shift) & 0xF];
    return text;
}

std::wstring DeleteErrorText(const std::wstring& path, unsigned long errorCode) {
    return L"No se pudo eliminar:\n" + path + L"\n\nError: " + std::to_wstring(errorCode);
}

std::wstring ArchiverFetchErrorText(const std::wstring& url, unsigned long hresult) {
    return L"No se pudo descargar 7za.exe:\n" + url + L"\n\nHRESULT: " + HresultText(hresult);
}

std::wstring PackageFetchErrorText(const std::wstring& url, unsigned long hresult) {
    return L"No se pudo descargar el ZIP:\n" + url + L"\n\nHRESULT: " + HresultText(hresult);
}

std::wstring ExtractionLaunchErrorText(unsigned long errorCode) {
    return L"No se pudo lanzar 7za.exe para descomprimir.\nError: " + std::to_wstring(errorCode);
}

std::wstring ExtractionExitCodeText(unsigned long exitCode) {
    return L"7za.exe devolvió código " + std::to_wstring(exitCode) +
           L".\nEs posible que el ZIP no se haya descomprimido correctamente.";
}

std::wstring InstalledText(const std::wstring& folder) {
    return L"Trevanto se ha instalado correctamente en:\n" + folder;
}

std::wstring ExtractionCommandLine(const std::wstring& archiverPath, const std::wstring& packagePath,
                                   const std::wstring& folder) {
    size_t trailing = 0;
    while (trailing < folder.size() && folder[folder.size() - 1 - trailing] == L'\\') ++trailing;
    return L"\"" + archiverPath + L"\" x -y \"" + packagePath + L"\" -o\"" + folder + std::wstring(trailing, L'\\') +
           L"\"";
}
