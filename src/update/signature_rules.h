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


// A signature text as r || s; false when it is not base64 of 64 bytes.
bool ParseSignatureText(const std::string& text, SignatureBytes& signature);

// A public key text as X || Y; false unless base64 of 04 || X || Y.
bool ParsePublicKeyText(const std::string& text, PublicPoint& point);

// 64 hexadecimal characters (either case) as the digest's bytes.
bool ParseDigestHex(const std::string& hex, DigestBytes& digest);

// What a build does with one offer (or new agent), before any byte is
// fetched. A statement, when there is one, is what is checked; a bare
// signature of the bytes ("firma") only stands while statements are not
// required, as a way through a transition.
enum class OfferVerification {
    None,             // no keys in this build, or nothing to verify and nothing required
    VerifySignature,  // the package's digest must verify under one of the keys ("firma")
    VerifyStatement,  // the release statement must verify, and the package keep it
    RefuseMissing,    // keys, statements required, and the offer carries none
};
OfferVerification OfferVerificationFor(bool buildHasKeys, bool statementsRequired, bool hasStatement,
                                       bool hasSignature);
