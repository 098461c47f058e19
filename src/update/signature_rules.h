// The vendor's package signatures as texts: ECDSA over P-256 with SHA-256,
// the signature as base64 of r || s (64 bytes), a public key as base64 of
// the uncompressed point 04 || X || Y (65 bytes). No Win32 here: the
// verification itself is BCrypt's (package_signature.cpp).
#pragma once
#include <array>
#include <string>
#include <vector>

inline constexpr size_t SignatureLength = 64;
inline constexpr size_t PublicPointLength = 64;  // X || Y, without the 04 in front
inline constexpr size_t DigestLength = 32;

using SignatureBytes = std::array<unsigned char, SignatureLength>;
using PublicPoint = std::array<unsigned char, PublicPointLength>;
using DigestBytes = std::array<unsigned char, DigestLength>;

// Strict base64 (RFC 4648, with padding, no blanks or line breaks, no bits
// left over); false on anything else.
bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes);

// A signature text as r || s; false when it is not base64 of 64 bytes.
bool ParseSignatureText(const std::string& text, SignatureBytes& signature);

// A public key text as X || Y; false unless base64 of 04 || X || Y.
bool ParsePublicKeyText(const std::string& text, PublicPoint& point);

// 64 hexadecimal characters (either case) as the digest's bytes.
bool ParseDigestHex(const std::string& hex, DigestBytes& digest);

// What a build does with one offer, before any byte is fetched.
enum class SignatureStep {
    None,            // no keys in this build, or unsigned and not required: the offer goes on unverified
    Verify,          // the package's digest must verify under one of the keys
    RefuseUnsigned,  // keys, signatures required, and the offer carries none
};
SignatureStep SignatureStepFor(bool buildHasKeys, bool signaturesRequired, bool offerSigned);
