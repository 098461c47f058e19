#include "agents/file_hashes.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "http/text_escape.h"

namespace {

constexpr size_t MaxKeptHashes = 1024;
// The kernel stamps changes with a coarse clock (a few milliseconds): a file
// changed again within one tick keeps its change time. A hash is kept only
// for a file older than that, so a later version always looks different.
constexpr int64_t MinimumAgeToKeepNs = int64_t{20} * 1000000;

int64_t NowNs() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
}

// The identity of the file a request path names now; false when there is none.
bool CurrentIdentity(const DataFolder& data, const std::string& requestPath, FileIdentity& identity) {
    const int fd = OpenServedFile(data, requestPath);
    if (fd < 0) return false;
    struct stat info = {};
    const bool ok = fstat(fd, &info) == 0;
    close(fd);
    if (ok) identity = IdentityOf(info);
    return ok;
}

}  // namespace

bool Sha256OfDescriptor(int fd, std::string& hex) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
    std::vector<char> buffer(size_t{256} * 1024);
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) != 0;) {
        if (n < 0) return false;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) != 1) return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return false;
    hex = LowerHex(digest, size);
    return true;
}

FileHashes::FileHashes(DataFolder data, int settleMs) : data_(std::move(data)), settleMs_(settleMs) {
    thread_ = std::thread([this] { Run(); });
}

FileHashes::~FileHashes() {
    Stop();
}

void FileHashes::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

bool FileHashes::KnownHash(const std::string& requestPath, std::string& hex) {
    FileIdentity identity;
    if (!CurrentIdentity(data_, requestPath, identity)) {
        hex.clear();
        return true;  // nothing to hash
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = kept_.find(requestPath);
    if (found == kept_.end() || found->second.identity != identity) return false;
    hex = found->second.hex;
    return true;
}

void FileHashes::Lookup(const std::vector<std::string>& requestPaths, std::function<void(HashResults)> done) {
    Job job;
    for (const std::string& path : requestPaths) {
        std::string hex;
        if (KnownHash(path, hex)) {
            job.results[path] = hex;
        } else {
            job.toHash.push_back(path);
        }
    }
    if (job.toHash.empty()) return done(std::move(job.results));
    job.done = std::move(done);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            wake_.notify_one();
            return;
        }
    }
    for (const std::string& path : job.toHash) job.results[path].clear();
    job.done(std::move(job.results));
}

// Hashes the file a path names if it stands still; "" otherwise. A hash
// is kept only when the path still names the very version that was read.
std::string FileHashes::HashNow(const std::string& requestPath) {
    std::string hex;
    if (KnownHash(requestPath, hex)) return hex;  // an earlier job did it
    const int fd = OpenServedFile(data_, requestPath);
    if (fd < 0) return std::string();
    struct stat before = {}, after = {};
    const int64_t settleNs = static_cast<int64_t>(settleMs_) * 1000000;
    bool stable = fstat(fd, &before) == 0;
    const FileIdentity identity = IdentityOf(before);
    // The change time, which no program can set, tells when it was last written.
    stable = stable && NowNs() - identity.changedNs >= settleNs;
    stable = stable && Sha256OfDescriptor(fd, hex) && fstat(fd, &after) == 0 && IdentityOf(after) == identity;
    close(fd);
    FileIdentity now;
    if (!stable || !CurrentIdentity(data_, requestPath, now) || now != identity) return std::string();
    if (NowNs() - identity.changedNs < MinimumAgeToKeepNs) return hex;
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() >= MaxKeptHashes) kept_.clear();
    kept_[requestPath] = Kept{identity, hex};
    return hex;
}

void FileHashes::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        const bool stopping = stopping_;
        lock.unlock();
        for (const std::string& path : job.toHash) job.results[path] = stopping ? std::string() : HashNow(path);
        job.done(std::move(job.results));
        lock.lock();
    }
}
