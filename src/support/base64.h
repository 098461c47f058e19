// Base64 (RFC 4648, with padding) as keys, signatures and statements
// travel. No Win32 here.
#pragma once
#include <string>
#include <vector>

// Strict decoding: with padding, no blanks or line breaks, no bits left
// over (one text per byte string); false on anything else.
bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes);

std::string EncodeBase64(const std::string& bytes);
