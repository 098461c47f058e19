#include "update/package_hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

#include "update/package_hash_rules.h"

namespace {

constexpr ULONG Sha256Length = 32;
constexpr size_t HashPiece = ULONG_MAX / 2 + 1;  // BCryptHashData takes a ULONG length

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

class ScopedAlgorithm {
public:
    ScopedAlgorithm() = default;
    ~ScopedAlgorithm() {
        if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    ScopedAlgorithm(const ScopedAlgorithm&) = delete;
    ScopedAlgorithm& operator=(const ScopedAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE* Out() { return &handle_; }
    BCRYPT_ALG_HANDLE Get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class ScopedHash {
public:
    ScopedHash() = default;
    ~ScopedHash() {
        if (handle_ != nullptr) BCryptDestroyHash(handle_);
    }
    ScopedHash(const ScopedHash&) = delete;
    ScopedHash& operator=(const ScopedHash&) = delete;
    BCRYPT_HASH_HANDLE* Out() { return &handle_; }
    BCRYPT_HASH_HANDLE Get() const { return handle_; }

private:
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};

// Feeds the bytes in pieces that fit BCryptHashData's length parameter.
bool HashAll(BCRYPT_HASH_HANDLE hash, const std::vector<unsigned char>& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const size_t piece = bytes.size() - at < HashPiece ? bytes.size() - at : HashPiece;
        PUCHAR data = const_cast<PUCHAR>(bytes.data() + at);
        if (!Succeeded(BCryptHashData(hash, data, static_cast<ULONG>(piece), 0))) return false;
        at += piece;
    }
    return true;
}

}  // namespace

bool Sha256Hex(const std::vector<unsigned char>& bytes, std::string& hex) {
    hex.clear();
    ScopedAlgorithm algorithm;
    if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.Out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    ScopedHash hash;
    if (!Succeeded(BCryptCreateHash(algorithm.Get(), hash.Out(), nullptr, 0, nullptr, 0, 0))) return false;
    if (!HashAll(hash.Get(), bytes)) return false;
    unsigned char digest[Sha256Length] = {};
    if (!Succeeded(BCryptFinishHash(hash.Get(), digest, Sha256Length, 0))) return false;
    hex = LowerHex(digest, Sha256Length);
    return true;
}
