#include "update/signature_rules.h"

#include <algorithm>

#include "update/package_hash_rules.h"

namespace {

constexpr unsigned char UncompressedPoint = 0x04;

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The value of a digit already known to be hexadecimal.
unsigned HexValue(char c) {
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return static_cast<unsigned>(c - '0') & 0x0Fu;
}

}  // namespace

bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    size_t padding = 0;
    if (!text.empty() && text[text.size() - 1] == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    const size_t dataChars = text.size() - padding;
    unsigned long bits = 0;
    int held = 0;
    for (size_t i = 0; i < dataChars; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) return false;
        bits = ((bits << 6) | static_cast<unsigned long>(value)) & 0xFFFFFF;
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<unsigned char>(bits >> held));
        }
    }
    // The bits that padding leaves over must be zero: one text per byte string.
    if ((bits & ((1ul << held) - 1)) != 0) {
        bytes.clear();
        return false;
    }
    return true;
}

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

SignatureStep SignatureStepFor(bool buildHasKeys, bool signaturesRequired, bool offerSigned) {
    if (!buildHasKeys) return SignatureStep::None;
    if (offerSigned) return SignatureStep::Verify;
    return signaturesRequired ? SignatureStep::RefuseUnsigned : SignatureStep::None;
}
