#include "update/signature_rules.h"

#include <algorithm>

#include "support/base64.h"
#include "update/package_hash_rules.h"

namespace {

constexpr unsigned char UncompressedPoint = 0x04;

// The value of a digit already known to be hexadecimal.
unsigned HexValue(char c) {
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return static_cast<unsigned>(c - '0') & 0x0Fu;
}

}  // namespace

bool ParseSignatureText(const std::string& text, SignatureBytes& signature) {
    std::vector<unsigned char> bytes;
    if (!DecodeBase64(text, bytes) || bytes.size() != SignatureLength) return false;
    std::copy(bytes.begin(), bytes.end(), signature.begin());
    return true;
}

bool ParsePublicKeyText(const std::string& text, PublicPoint& point) {
    std::vector<unsigned char> bytes;
    if (!DecodeBase64(text, bytes) || bytes.size() != PublicPointLength + 1 || bytes[0] != UncompressedPoint) {
        return false;
    }
    std::copy(bytes.begin() + 1, bytes.end(), point.begin());
    return true;
}

bool ParseDigestHex(const std::string& hex, DigestBytes& digest) {
    if (!IsSha256Text(hex)) return false;
    for (size_t i = 0; i < DigestLength; ++i) {
        digest[i] = static_cast<unsigned char>(HexValue(hex[2 * i]) << 4u | HexValue(hex[2 * i + 1]));
    }
    return true;
}

OfferVerification OfferVerificationFor(bool buildHasKeys, bool statementsRequired, bool hasStatement,
                                       bool hasSignature) {
    if (!buildHasKeys) return OfferVerification::None;
    if (hasStatement) return OfferVerification::VerifyStatement;
    if (statementsRequired) return OfferVerification::RefuseMissing;
    return hasSignature ? OfferVerification::VerifySignature : OfferVerification::None;
}
