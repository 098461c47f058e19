// Comparing a package's SHA-256 with the one an update offer names.
// No Win32 here: the digest itself is computed in package_hash.cpp.
#pragma once
#include <string>

// Exactly 64 hexadecimal characters, either letter case.
bool IsSha256Text(const std::string& text);

// True when `expected` is well-formed and names the same digest as
// `actualHex` (lower-case hex), whatever the letter case of `expected`.
bool Sha256Matches(const std::string& expected, const std::string& actualHex);

// Bytes as lower-case hexadecimal text.
std::string LowerHex(const unsigned char* bytes, size_t count);
