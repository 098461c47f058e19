#include "rollouts/offer_token.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <memory>

#include "http/message.h"
#include "http/text_escape.h"

namespace {

constexpr size_t SignatureHexDigits = 24;

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// HMAC-SHA256 (RFC 2104) with the key's inner and outer states taken once
// per thread and key: every check-in signs with the same secret, and
// OpenSSL's one-shot HMAC() sets up (and looks up) all of it at each call,
// costing more than the hashing itself.
struct KeyedHmac {
    std::string key;
    DigestContext inner{nullptr, &EVP_MD_CTX_free};
    DigestContext outer{nullptr, &EVP_MD_CTX_free};
    DigestContext work{EVP_MD_CTX_new(), &EVP_MD_CTX_free};

    bool Prepare(const std::string& secret) {
        static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        constexpr size_t Block = 64;
        unsigned char padded[Block] = {};
        unsigned int size = 0;
        if (secret.size() > Block) {
            if (EVP_Digest(secret.data(), secret.size(), padded, &size, sha256, nullptr) != 1) return false;
        } else {
            std::copy(secret.begin(), secret.end(), padded);
        }
        unsigned char innerPad[Block], outerPad[Block];
        for (size_t i = 0; i < Block; ++i) {
            innerPad[i] = static_cast<unsigned char>(padded[i] ^ 0x36);
            outerPad[i] = static_cast<unsigned char>(padded[i] ^ 0x5c);
        }
        inner.reset(EVP_MD_CTX_new());
        outer.reset(EVP_MD_CTX_new());
        if (!inner || !outer || !work || EVP_DigestInit_ex(inner.get(), sha256, nullptr) != 1 ||
            EVP_DigestUpdate(inner.get(), innerPad, Block) != 1 || EVP_DigestInit_ex(outer.get(), sha256, nullptr) != 1 ||
            EVP_DigestUpdate(outer.get(), outerPad, Block) != 1) {
            key.clear();
            return false;
        }
        key = secret;
        return true;
    }

    bool Sign(const std::string& data, unsigned char (&digest)[32]) const {
        unsigned char inside[32];
        unsigned int size = 0;
        return EVP_MD_CTX_copy_ex(work.get(), inner.get()) == 1 &&
               EVP_DigestUpdate(work.get(), data.data(), data.size()) == 1 &&
               EVP_DigestFinal_ex(work.get(), inside, &size) == 1 && EVP_MD_CTX_copy_ex(work.get(), outer.get()) == 1 &&
               EVP_DigestUpdate(work.get(), inside, sizeof inside) == 1 &&
               EVP_DigestFinal_ex(work.get(), digest, &size) == 1;
    }
};

std::string HmacHex(const std::string& secret, const std::string& data) {
    thread_local KeyedHmac keyed;
    unsigned char digest[32];
    if ((keyed.key == secret && keyed.inner) || keyed.Prepare(secret)) {
        if (keyed.Sign(data, digest)) return LowerHex(digest, sizeof digest);
    }
    // Whatever failed (no memory), OpenSSL's own one-shot HMAC gives the same.
    unsigned int size = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &size);
    return LowerHex(digest, sizeof digest);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsLowerHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string OfferToken(const std::string& secret, const std::string& installationId, long long rolloutId) {
    const std::string named = installationId + "-" + std::to_string(rolloutId);
    return named + "-" + HmacHex(secret, "oferta\n" + named).substr(0, SignatureHexDigits);
}

bool ReadOfferToken(const std::string& secret, const std::string& token, std::string& installationId,
                    long long& rolloutId) {
    const size_t first = token.find('-');
    const size_t second = first == std::string::npos ? first : token.find('-', first + 1);
    if (second == std::string::npos || token.size() > 128) return false;
    const std::string installation = token.substr(0, first);
    const std::string rollout = token.substr(first + 1, second - first - 1);
    const std::string signature = token.substr(second + 1);
    if (installation.size() != 32 || !IsLowerHex(installation) || rollout.empty() || rollout.size() > 15 ||
        rollout.find_first_not_of("0123456789") != std::string::npos || signature.size() != SignatureHexDigits) {
        return false;
    }
    const std::string expected = HmacHex(secret, "oferta\n" + installation + "-" + rollout).substr(0, SignatureHexDigits);
    if (CRYPTO_memcmp(expected.data(), signature.data(), SignatureHexDigits) != 0) return false;
    installationId = installation;
    rolloutId = std::strtoll(rollout.c_str(), nullptr, 10);
    return true;
}

std::string WithOfferToken(const std::string& url, const std::string& token) {
    return WithQueryValue(url, "o", token);
}

std::string OfferTokenOfUrl(const std::string& url) {
    return QueryValueOfUrl(url, "o");
}

std::string AcceptanceToken(const std::string& secret, const std::string& installationId) {
    return installationId + "-" + HmacHex(secret, "aceptacion\n" + installationId).substr(0, SignatureHexDigits);
}

bool ReadAcceptanceToken(const std::string& secret, const std::string& token, std::string& installationId) {
    if (token.size() != 32 + 1 + SignatureHexDigits || token[32] != '-') return false;
    const std::string installation = token.substr(0, 32);
    if (!IsLowerHex(installation)) return false;
    const std::string expected = AcceptanceToken(secret, installation);
    if (CRYPTO_memcmp(expected.data(), token.data(), token.size()) != 0) return false;
    installationId = installation;
    return true;
}

std::string InstallationId(const std::string& secret, const std::string& product, const std::string& hostname,
                           const std::string& installedPath, const std::string& clientAddress) {
    const std::string host = hostname.empty() ? "@" + clientAddress : Lower(hostname);
    const std::string path = installedPath.empty() ? "@" + clientAddress : Lower(installedPath);
    return HmacHex(secret, "instalacion\n" + product + "\n" + host + "\n" + path).substr(0, 32);
}

std::string NewSecret() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
    return LowerHex(bytes, sizeof bytes);
}
