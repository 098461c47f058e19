#include "update/package_hash.h"

#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "support/handles.h"
#include "update/package_hash_rules.h"

namespace {

constexpr ULONG Sha256Length = 32;
constexpr std::size_t HashPiece = ULONG_MAX / 2 + 1;  // BCryptHashData takes a ULONG length

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

Sha256Stream::Sha256Stream() {
    ok_ = Succeeded(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    Restart();
}

Sha256Stream::~Sha256Stream() {
    Close();
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
}

void Sha256Stream::Close() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    hash_ = nullptr;
}

void Sha256Stream::Restart() {
    Close();
    ok_ = algorithm_ != nullptr && Succeeded(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0));
}

// Fed in pieces that fit BCryptHashData's length parameter.
void Sha256Stream::Add(const unsigned char* bytes, std::size_t count) {
    for (std::size_t at = 0; ok_ && at < count;) {
        const std::size_t piece = count - at < HashPiece ? count - at : HashPiece;
        ok_ = Succeeded(BCryptHashData(hash_, const_cast<PUCHAR>(bytes + at), static_cast<ULONG>(piece), 0));
        at += piece;
    }
}

bool Sha256Stream::Finish(std::string& hex) {
    hex.clear();
    unsigned char digest[Sha256Length] = {};
    if (!ok_ || !Succeeded(BCryptFinishHash(hash_, digest, Sha256Length, 0))) return false;
    Close();
    ok_ = false;  // a finished hash takes no more bytes until it is restarted
    hex = LowerHex(digest, Sha256Length);
    return true;
}

bool Sha256Hex(const std::vector<unsigned char>& bytes, std::string& hex) {
    Sha256Stream hash;
    hash.Add(bytes.data(), bytes.size());
    return hash.Finish(hex);
}

bool Sha256OfFile(const std::wstring& path, std::string& hex) {
    hex.clear();
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return false;
    Sha256Stream hash;
    std::vector<unsigned char> buffer(1u << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        hash.Add(buffer.data(), read);
    }
    return hash.Finish(hex);
}

namespace {

// Hashes on a thread of its own what the fetch hands it, so that the
// hashing runs beside the transfer (on another core) instead of after it
// or in its way. Each chunk is copied into the queue; at most
// QueueLimitBytes wait there, the fetch waiting for room beyond that.
// When the thread cannot be had, the chunks are hashed as they come.
class BackgroundHash {
public:
    BackgroundHash() {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // hashed on the caller's thread instead
        }
    }
    ~BackgroundHash() { Stop(); }
    BackgroundHash(const BackgroundHash&) = delete;
    BackgroundHash& operator=(const BackgroundHash&) = delete;

    void Add(const unsigned char* bytes, std::size_t count) {
        if (!thread_.joinable()) {
            hash_.Add(bytes, count);
            return;
        }
        try {
            Piece piece{std::vector<unsigned char>(bytes, bytes + count), false};
            std::unique_lock<std::mutex> lock(mutex_);
            roomLeft_.wait(lock, [this] { return queuedBytes_ < QueueLimitBytes; });
            queuedBytes_ += count;
            queue_.push_back(std::move(piece));
        } catch (const std::bad_alloc&) {
            std::lock_guard<std::mutex> lock(mutex_);
            failed_ = true;  // a digest with a hole in it must match nothing
        }
        arrived_.notify_one();
    }

    void Restart() {
        if (!thread_.joinable()) {
            hash_.Restart();
            return;
        }
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(Piece{{}, true});
        } catch (const std::bad_alloc&) {
            std::lock_guard<std::mutex> lock(mutex_);
            failed_ = true;
        }
        arrived_.notify_one();
    }

    // Waits for the queue to be hashed; false (hex empty) on any failure.
    bool Finish(std::string& hex) {
        Stop();
        hex.clear();
        if (failed_) return false;
        return hash_.Finish(hex);
    }

private:
    static constexpr std::size_t QueueLimitBytes = 8u << 20;

    struct Piece {
        std::vector<unsigned char> bytes;
        bool restart;
    };

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            arrived_.wait(lock, [this] { return !queue_.empty() || ending_; });
            if (queue_.empty()) return;  // ending, and everything hashed
            Piece piece = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            if (piece.restart) {
                hash_.Restart();
            } else {
                hash_.Add(piece.bytes.data(), piece.bytes.size());
            }
            lock.lock();
            queuedBytes_ -= piece.bytes.size();
            roomLeft_.notify_one();
        }
    }

    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        arrived_.notify_one();
        thread_.join();
    }

    Sha256Stream hash_;
    std::mutex mutex_;
    std::condition_variable arrived_, roomLeft_;
    std::deque<Piece> queue_;
    std::size_t queuedBytes_ = 0;
    bool ending_ = false;
    bool failed_ = false;
    std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace

bool FetchPackageHashed(const std::string& url, std::vector<unsigned char>& body, unsigned long& errorCode,
                        PackageFetchOptions options, std::string& hex) {
    hex.clear();
    BackgroundHash hash;
    options.onBytes = [&hash](const unsigned char* bytes, std::size_t count) { hash.Add(bytes, count); };
    options.onStartOver = [&hash] { hash.Restart(); };
    const bool fetched = DownloadUrlBytes_URL(url, body, errorCode, options);
    hash.Finish(hex);  // an empty digest matches nothing
    return fetched;
}
