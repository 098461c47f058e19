#include "agents/served_files.h"

#include <fcntl.h>
#include <unistd.h>

#include "agents/contract.h"

namespace {

// Opens one step of the path below an open folder, never through a link.
int OpenBelow(int folder, const std::string& name, bool isFolder) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (isFolder ? O_DIRECTORY : O_NONBLOCK);
    return openat(folder, name.c_str(), flags);
}

}  // namespace

int OpenServedFile(const DataFolder& data, const std::string& requestPath) {
    if (!contract::IsSafeStaticPath(requestPath)) return -1;
    int folder = open((data.root + "/archivos").c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    size_t start = 1;
    while (folder >= 0) {
        const size_t slash = requestPath.find('/', start);
        const bool last = slash == std::string::npos;
        const std::string name = requestPath.substr(start, last ? std::string::npos : slash - start);
        const int next = OpenBelow(folder, name, !last);
        close(folder);
        if (last) {
            struct stat info = {};
            if (next >= 0 && (fstat(next, &info) != 0 || !S_ISREG(info.st_mode))) {
                close(next);
                return -1;
            }
            return next;
        }
        folder = next;
        start = slash + 1;
    }
    return -1;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size && modifiedNs == other.modifiedNs &&
           changedNs == other.changedNs;
}

FileIdentity IdentityOf(const struct stat& info) {
    FileIdentity identity;
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.inode = static_cast<uint64_t>(info.st_ino);
    identity.size = static_cast<uint64_t>(info.st_size);
    identity.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.changedNs = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return identity;
}
