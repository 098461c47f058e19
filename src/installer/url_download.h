// URL Moniker download to a file that also rejects HTTP error answers: some
// urlmon versions report success for a 404 and store the error page.
#pragma once
#include <windows.h>

#include <string>

// URLDownloadToFileW (no caller object) with a status callback that reads
// the HTTP status. True when the call succeeded and the answer was not an
// HTTP error; an error page is deleted again. *result is the call's HRESULT.
bool DownloadUrlToFile(const std::wstring& url, const std::wstring& path, HRESULT* result);
