#include "signing/package_signing.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr size_t CoordinateLength = 32;
constexpr size_t SignatureLength = 2 * CoordinateLength;
constexpr size_t PointLength = 1 + 2 * CoordinateLength;  // 04 || X || Y
constexpr char CurveName[] = "prime256v1";

struct Free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
    void operator()(OSSL_PARAM_BLD* builder) const { OSSL_PARAM_BLD_free(builder); }
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
    void operator()(std::FILE* file) const { std::fclose(file); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

std::string Base64(const unsigned char* bytes, size_t count) {
    std::string text(4 * ((count + 2) / 3), '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(count));
    text.resize(static_cast<size_t>(length));
    return text;
}

// Base64 of exactly `count` bytes, spelled as Base64 spells them.
bool DecodeExactly(const std::string& text, size_t count, std::vector<unsigned char>& bytes) {
    if (text.size() != 4 * ((count + 2) / 3)) return false;
    bytes.assign(text.size(), 0);
    if (EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())) < 0) {
        return false;
    }
    bytes.resize(count);
    return Base64(bytes.data(), bytes.size()) == text;
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) == 1 &&
           std::strcmp(group, CurveName) == 0;
}

bool PublicText(EVP_PKEY* key, std::string& publicText) {
    unsigned char point[PointLength] = {};
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length) != 1 ||
        length != PointLength || point[0] != 0x04) {
        return false;
    }
    publicText = Base64(point, length);
    return true;
}

Owned<EVP_PKEY> ReadPrivateKey(const std::string& path, std::string& error) {
    Owned<std::FILE> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot read the key " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    Owned<EVP_PKEY> key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (!key || !IsP256(key.get())) {
        error = path + " is not a P-256 private key";
        return nullptr;
    }
    return key;
}

Owned<EVP_PKEY> PublicKeyFromText(const std::string& text) {
    std::vector<unsigned char> point;
    if (!DecodeExactly(text, PointLength, point) || point[0] != 0x04) return nullptr;
    Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, CurveName, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1) {
        return nullptr;
    }
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Owned<EVP_PKEY>(key);
}

// Feeds the file's bytes to `update`; false with the reason.
template <typename Update>
bool ReadFileInto(const std::string& path, Update update, std::string& error) {
    Owned<std::FILE> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> buffer(1 << 20);
    size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        if (!update(buffer.data(), read)) {
            error = "cannot hash " + path;
            return false;
        }
    }
    if (std::ferror(file.get())) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

}  // namespace

bool MakeSigningKey(const std::string& privatePath, std::string& publicText, std::string& error) {
    Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", CurveName));
    if (!key || !PublicText(key.get(), publicText)) {
        error = "cannot make a P-256 key";
        return false;
    }
    const int fd = open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + privatePath + " (it must not exist yet): " + std::strerror(errno);
        return false;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(privatePath.c_str());
        error = "cannot write " + privatePath;
        return false;
    }
    const bool written = PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    const bool flushed = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (std::fclose(file) != 0 || !written || !flushed) {
        unlink(privatePath.c_str());
        error = "cannot write " + privatePath;
        return false;
    }
    return true;
}

bool SigningPublicKey(const std::string& privatePath, std::string& publicText, std::string& error) {
    Owned<EVP_PKEY> key = ReadPrivateKey(privatePath, error);
    if (!key) return false;
    if (!PublicText(key.get(), publicText)) {
        error = "cannot read the public half of " + privatePath;
        return false;
    }
    return true;
}

namespace {

// The signature of the bytes `feed` hands to the update function, by the key
// in `privatePath`, as text; `what` names them in a failure.
template <typename Feed>
bool SignFed(const std::string& privatePath, Feed feed, const std::string& what, std::string& signatureText,
             std::string& error) {
    Owned<EVP_PKEY> key = ReadPrivateKey(privatePath, error);
    if (!key) return false;
    Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        error = "cannot start signing";
        return false;
    }
    auto update = [&context](const unsigned char* bytes, size_t count) {
        return EVP_DigestSignUpdate(context.get(), bytes, count) == 1;
    };
    if (!feed(update, error)) return false;
    size_t length = 0;
    std::vector<unsigned char> der;
    if (EVP_DigestSignFinal(context.get(), nullptr, &length) == 1) der.resize(length);
    if (der.empty() || EVP_DigestSignFinal(context.get(), der.data(), &length) != 1) {
        error = "cannot sign " + what;
        return false;
    }
    // The signature as DER (SEQUENCE of r and s) becomes r || s, each padded to 32 bytes.
    const unsigned char* at = der.data();
    Owned<ECDSA_SIG> parsed(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(length)));
    unsigned char raw[SignatureLength] = {};
    if (!parsed || BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), raw, CoordinateLength) != CoordinateLength ||
        BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), raw + CoordinateLength, CoordinateLength) != CoordinateLength) {
        error = "cannot sign " + what;
        return false;
    }
    signatureText = Base64(raw, sizeof raw);
    return true;
}

}  // namespace

bool SignFile(const std::string& privatePath, const std::string& filePath, std::string& signatureText,
              std::string& error) {
    auto feed = [&filePath](auto update, std::string& failure) { return ReadFileInto(filePath, update, failure); };
    return SignFed(privatePath, feed, filePath, signatureText, error);
}

bool SignBytes(const std::string& privatePath, const std::string& bytes, std::string& signatureText,
               std::string& error) {
    auto feed = [&bytes](auto update, std::string& failure) {
        if (update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) return true;
        failure = "cannot hash the statement";
        return false;
    };
    return SignFed(privatePath, feed, "the statement", signatureText, error);
}

bool FileSizeAndSha256(const std::string& filePath, std::uint64_t& size, std::string& sha256Hex, std::string& error) {
    Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        error = "cannot start hashing";
        return false;
    }
    size = 0;
    auto update = [&context, &size](const unsigned char* bytes, size_t count) {
        size += count;
        return EVP_DigestUpdate(context.get(), bytes, count) == 1;
    };
    if (!ReadFileInto(filePath, update, error)) return false;
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        error = "cannot hash " + filePath;
        return false;
    }
    static const char hex[] = "0123456789abcdef";
    sha256Hex.clear();
    for (unsigned int i = 0; i < length; ++i) {
        sha256Hex += hex[digest[i] >> 4];
        sha256Hex += hex[digest[i] & 0x0F];
    }
    return true;
}

bool VerifyFileSignature(const std::string& publicText, const std::string& filePath, const std::string& signatureText,
                         bool& valid, std::string& error) {
    valid = false;
    Owned<EVP_PKEY> key = PublicKeyFromText(publicText);
    if (!key) {
        error = "not a public key as `signing keygen` prints it";
        return false;
    }
    std::vector<unsigned char> raw;
    if (!DecodeExactly(signatureText, SignatureLength, raw)) {
        error = "not a signature as `signing sign` prints it";
        return false;
    }
    Owned<ECDSA_SIG> signature(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(raw.data(), CoordinateLength, nullptr);
    BIGNUM* s = BN_bin2bn(raw.data() + CoordinateLength, CoordinateLength, nullptr);
    if (!signature || r == nullptr || s == nullptr || ECDSA_SIG_set0(signature.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        error = "out of memory";
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(signature.get(), &der);
    std::unique_ptr<unsigned char, void (*)(void*)> derOwned(der, [](void* p) { OPENSSL_free(p); });
    Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (derLength <= 0 || !context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        error = "cannot start verifying";
        return false;
    }
    auto update = [&context](const unsigned char* bytes, size_t count) {
        return EVP_DigestVerifyUpdate(context.get(), bytes, count) == 1;
    };
    if (!ReadFileInto(filePath, update, error)) return false;
    valid = EVP_DigestVerifyFinal(context.get(), der, static_cast<size_t>(derLength)) == 1;
    return true;
}

bool IsSignatureText(const std::string& text) {
    std::vector<unsigned char> bytes;
    return DecodeExactly(text, SignatureLength, bytes);
}
