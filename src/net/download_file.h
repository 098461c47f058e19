// Streams one URL's body into a file with WinINet.
#pragma once
#include <string>

// Downloads url into targetPath (created or truncated). Returns false with a
// Win32/WinINet error code when a step fails, or with the HTTP status as the
// code when the server answers outside 200..299; a target left incomplete is
// deleted. A target named *.exe must receive a Windows program: a body that
// does not start with "MZ" is deleted and fails with 193
// (ERROR_BAD_EXE_FORMAT). errorCode may be null.
bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, unsigned long* errorCode);
