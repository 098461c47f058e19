// The vendor's package signatures, made on the vendor's own machine: ECDSA
// over P-256 with SHA-256. A private key is a PEM file (PKCS #8) readable
// by its owner only; a public key travels as base64 of the uncompressed
// point 04 || X || Y (the agent's build setting); a signature as base64 of
// r || s, 64 bytes (the offer's "firma"). Only the operator's `signing`
// command reads a private key; `serve` takes no key and never calls these.
#pragma once
#include <cstdint>
#include <string>

// A new key pair in `privatePath` (which must not exist yet), and its
// public half as text; false with the reason.
bool MakeSigningKey(const std::string& privatePath, std::string& publicText, std::string& error);

// The public half of the key in `privatePath`, as text.
bool SigningPublicKey(const std::string& privatePath, std::string& publicText, std::string& error);

// The signature of the file's bytes by the key in `privatePath`, as text.
bool SignFile(const std::string& privatePath, const std::string& filePath, std::string& signatureText,
              std::string& error);

// The signature of the bytes (a release statement's) by the key in
// `privatePath`, as text.
bool SignBytes(const std::string& privatePath, const std::string& bytes, std::string& signatureText,
               std::string& error);

// The file's length and SHA-256 (lower-case hex).
bool FileSizeAndSha256(const std::string& filePath, std::uint64_t& size, std::string& sha256Hex, std::string& error);

// Whether `signatureText` is the signature of the file's bytes by the key
// `publicText`; false (with the reason) only when that cannot be told: an
// unreadable file, a malformed key or signature text.
bool VerifyFileSignature(const std::string& publicText, const std::string& filePath, const std::string& signatureText,
                         bool& valid, std::string& error);

// True for base64 of exactly 64 bytes, in its one canonical spelling.
bool IsSignatureText(const std::string& text);
