// SHA-256 of the files the service serves, added to the update offers of the
// check-in answer so the agent can check what it downloads.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "data_folder.h"

struct CachedHash {
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    std::string hex;
};

// Hashes by file path, valid while the file keeps its size and mtime.
// Shared by httplib's worker threads.
struct FileHashCache {
    std::mutex mutex;
    std::map<std::string, CachedHash> entries;
};

// SHA-256 of a regular file as 64 lower-case hex digits, read in chunks;
// computed once per path, size and mtime. False when it cannot be read.
bool CachedFileSha256(FileHashCache& cache, const std::string& path, std::string& hex);

// The request path of an "https://<host>/<path>" link whose host is one of
// `hosts` (any letter case, no port or user); query and fragment dropped,
// %XX escapes decoded. False for any other link.
bool LinkPathOnHosts(const std::string& link, const std::vector<std::string>& hosts, std::string& path);

// The notification document with a "sha256" member added to every cell of
// every "url_actualizar" item whose "enlace" names a file served from the
// data folder. Cells that already have "sha256" keep it. The document comes
// back unchanged (same bytes) when nothing was added or it is not a JSON object.
std::string WithFileHashes(const std::string& document, const std::vector<std::string>& hosts, const DataFolder& data,
                           FileHashCache& cache);
