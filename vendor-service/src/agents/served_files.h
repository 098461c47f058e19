// The files served from the data folder's "archivos", opened so that a
// request can never reach past it: the path must pass IsSafeStaticPath,
// and no folder on the way nor the file itself may be a symbolic link.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "agents/data_folder.h"

// An open descriptor of the regular file a request path names, or -1 (no
// such file, a link, not a regular file, an unsafe path). The caller closes it.
int OpenServedFile(const DataFolder& data, const std::string& requestPath);

// What tells one version of a file from another: replacing it (a new
// inode), writing it (size, mtime) or even writing it back with the same
// size and mtime (ctime, which no program can set back) changes it.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

FileIdentity IdentityOf(const struct stat& info);
