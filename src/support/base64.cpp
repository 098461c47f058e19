#include "support/base64.h"

namespace {

const std::string Base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
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

std::string EncodeBase64(const std::string& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t b0 = static_cast<unsigned char>(bytes[i]);
        const std::uint32_t b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        const std::uint32_t b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        const std::uint32_t triple = b0 << 16 | b1 << 8 | b2;
        text += Base64Alphabet[triple >> 18 & 0x3F];
        text += Base64Alphabet[triple >> 12 & 0x3F];
        text += i + 1 < bytes.size() ? Base64Alphabet[triple >> 6 & 0x3F] : '=';
        text += i + 2 < bytes.size() ? Base64Alphabet[triple & 0x3F] : '=';
    }
    return text;
}
