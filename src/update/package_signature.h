// Verifying the vendor's signature of a package (or of a new agent) with
// the system's BCrypt ECDSA P-256 provider, against the build's keys.
#pragma once
#include <string>

#include "app/signing_settings.h"
#include "update/signature_rules.h"

// TRUST_E_BAD_DIGEST and TRUST_E_NOSIGNATURE: the codes a refused
// signature is reported with.
inline constexpr unsigned long SignatureInvalidCode = 0x80096010ul;
inline constexpr unsigned long SignatureMissingCode = 0x800B0100ul;

bool BuildHasSigningKeys(const SigningSettings& settings);

// What this build (BuildSigningSettings) does with an offer or a new agent
// that carries a statement, a bare signature, both or neither.
OfferVerification BuildOfferVerification(bool hasStatement, bool hasSignature);

// The slot (1 or 2) of the key under which `signatureText` verifies the
// SHA-256 digest `digestHex`; 0 when it verifies under none (a malformed
// signature or digest, an unusable key or a provider failure included).
int VerifyingKeySlot(const SigningSettings& settings, const std::string& digestHex,
                     const std::string& signatureText);
