#include "app/archiver_bootstrap_text.h"

std::wstring ArchiverBootstrapUrl(const std::wstring& downloadHost) {
    return L"https://" + downloadHost + L"/parches/7za.exe";
}

std::wstring ArchiverErrorText(const std::wstring& url, unsigned long errorCode) {
    return L"No se pudo descargar 7za.exe desde:\n" + url + L"\n\nError: " + std::to_wstring(errorCode);
}
