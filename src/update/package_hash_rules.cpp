#include "update/package_hash_rules.h"

namespace {

constexpr size_t Sha256HexLength = 64;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool IsSha256Text(const std::string& text) {
    if (text.size() != Sha256HexLength) return false;
    for (char c : text) {
        if (!IsHexDigit(c)) return false;
    }
    return true;
}

bool Sha256Matches(const std::string& expected, const std::string& actualHex) {
    if (!IsSha256Text(expected) || actualHex.size() != expected.size()) return false;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (Lower(expected[i]) != Lower(actualHex[i])) return false;
    }
    return true;
}

std::string LowerHex(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}
