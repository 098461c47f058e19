// SHA-256 of the served files that update offers name, so the agent can
// check what it downloads. Hashing a package takes a while, so it runs on a
// thread of its own and a check-in waits for it without holding a
// connection's thread. Only a file that stood still is vouched for: one
// changed in the last `settleMs`, or while it was read, gets no hash this
// time and is hashed again at a later check-in. A kept hash is used only
// while the file keeps its whole identity (inode, size, mtime, ctime).
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agents/data_folder.h"
#include "agents/served_files.h"

// Request path to its SHA-256 (64 lower-case hex digits), or "" when the
// file is missing, unsafe or not stable.
using HashResults = std::map<std::string, std::string>;

class FileHashes {
public:
    FileHashes(DataFolder data, int settleMs);
    ~FileHashes();
    FileHashes(const FileHashes&) = delete;
    FileHashes& operator=(const FileHashes&) = delete;

    // Calls `done` with a result for every path: at once, on the calling
    // thread, when each is known; otherwise from the hashing thread.
    void Lookup(const std::vector<std::string>& requestPaths, std::function<void(HashResults)> done);
    void Stop();

private:
    struct Job {
        HashResults results;
        std::vector<std::string> toHash;
        std::function<void(HashResults)> done;
    };
    struct Kept {
        FileIdentity identity;
        std::string hex;
    };

    bool KnownHash(const std::string& requestPath, std::string& hex);
    std::string HashNow(const std::string& requestPath);
    void Run();

    DataFolder data_;
    int settleMs_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, Kept> kept_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

// SHA-256 of what is left to read from a descriptor; false on a read error.
bool Sha256OfDescriptor(int fd, std::string& hex);
