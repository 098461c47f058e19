// Packages, pictures and the archiver, served from the data folder's
// "archivos" under the same paths: streamed from the open file, one byte
// range when asked, with a validator (ETag, Last-Modified) so that a client
// resuming with If-Range gets the whole new file when it was replaced.
#pragma once
#include <sys/stat.h>

#include <string>

#include "agents/data_folder.h"
#include "http/message.h"

Response ServeStaticFile(const DataFolder& data, const Request& request);

// The strong validator of a file version: "<inode>-<size>-<mtime ns>" in hex, quoted.
std::string EntityTag(const struct stat& info);

// An HTTP date ("Tue, 08 Dec 2026 10:00:00 GMT").
std::string HttpDate(time_t time);

// True when an If-Range value names this version (the exact ETag, or the
// exact Last-Modified date); an absent value counts as a match.
bool IfRangeMatches(const std::string& ifRange, const std::string& entityTag, const std::string& lastModified);
