// Streams one URL's body into a file with WinINet.
#pragma once
#include <string>

// Downloads url into targetPath (created or truncated). Returns false with a
// Win32/WinINet error code when a step fails, or with the HTTP status as the
// code when the server answers outside 200..299; a target left incomplete is
// deleted. errorCode may be null.
bool DownloadToFile(const std::wstring& url, const std::wstring& targetPath, unsigned long* errorCode);
