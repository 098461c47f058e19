// Whole URL bodies fetched into memory with WinINet.
#pragma once
#include <string>
#include <vector>

// The update package. Publishes DownloadProgress from the Content-Length.
// True only for a complete body (status 200..299, no failed read, at least
// the announced length, not empty). On failure errorCode is the HTTP status,
// the system error code of the failed step (8 when memory ran out), or 0 for
// an empty body; the body is then empty.
bool DownloadUrlBytes_URL(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode);

// Alert pictures and the update banner; RTF documents. True when at least
// one byte arrived, whatever the status (an error page comes back as a body).
bool DownloadUrlBytes_Image(const std::string& url, std::vector<unsigned char>& body);
bool DownloadUrlBytes_Rtf(const std::string& url, std::vector<unsigned char>& body);
