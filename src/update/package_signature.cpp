#include "update/package_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

class AlgorithmHandle {
public:
    AlgorithmHandle() {
        opened_ = Succeeded(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0));
    }
    ~AlgorithmHandle() {
        if (opened_) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    AlgorithmHandle(const AlgorithmHandle&) = delete;
    AlgorithmHandle& operator=(const AlgorithmHandle&) = delete;
    bool Opened() const { return opened_; }
    BCRYPT_ALG_HANDLE Get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
    bool opened_ = false;
};

class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (handle_ != nullptr) BCryptDestroyKey(handle_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    BCRYPT_KEY_HANDLE* Out() { return &handle_; }
    BCRYPT_KEY_HANDLE Get() const { return handle_; }

private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

bool VerifiesUnder(const AlgorithmHandle& algorithm, const PublicPoint& point, DigestBytes& digest,
                   SignatureBytes& signature) {
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + PublicPointLength] = {};
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, PublicPointLength / 2};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, point.data(), point.size());
    KeyHandle key;
    const NTSTATUS imported =
        BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Out(), blob, sizeof blob, 0);
    if (!Succeeded(imported)) return false;
    return BCryptVerifySignature(key.Get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                 signature.data(), static_cast<ULONG>(signature.size()), 0) == 0;
}

}  // namespace

bool BuildHasSigningKeys(const SigningSettings& settings) {
    for (const char* key : settings.keys) {
        if (key != nullptr && key[0] != '\0') return true;
    }
    return false;
}

OfferVerification BuildOfferVerification(bool hasStatement, bool hasSignature) {
    const SigningSettings& settings = BuildSigningSettings();
    return OfferVerificationFor(BuildHasSigningKeys(settings), settings.signaturesRequired, hasStatement, hasSignature);
}

int VerifyingKeySlot(const SigningSettings& settings, const std::string& digestHex,
                     const std::string& signatureText) {
    DigestBytes digest{};
    SignatureBytes signature{};
    if (!ParseDigestHex(digestHex, digest) || !ParseSignatureText(signatureText, signature)) return 0;
    const AlgorithmHandle algorithm;
    if (!algorithm.Opened()) return 0;
    for (int slot = 0; slot < 2; ++slot) {
        PublicPoint point{};
        const char* key = settings.keys[slot];
        if (key == nullptr || !ParsePublicKeyText(key, point)) continue;
        if (VerifiesUnder(algorithm, point, digest, signature)) return slot + 1;
    }
    return 0;
}
