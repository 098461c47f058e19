#include "http/text_escape.h"

#include <cstdint>
#include <cstdio>

namespace {

void AppendHexByte(std::string& out, unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    out += text;
}

// The length of the well-formed UTF-8 sequence at text[at] and its code
// point; 0 when the bytes there are not one (overlong, surrogate, cut short).
size_t Utf8Sequence(const std::string& text, size_t at, uint32_t& codePoint) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3f);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) return 0;
    return length;
}

bool IsHiddenControl(uint32_t codePoint) {
    return (codePoint >= 0x80 && codePoint <= 0x9f) || codePoint == 0x200e || codePoint == 0x200f ||
           codePoint == 0x2028 || codePoint == 0x2029 || (codePoint >= 0x202a && codePoint <= 0x202e) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

std::string EscapeLogValue(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7f && c != '"' && c != '\\') {
            out += c;
        } else {
            AppendHexByte(out, byte);
        }
    }
    return out;
}

std::string EscapeForTerminal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\\') {
            out += "\\\\";
            ++at;
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += text[at++];
        } else if (byte < 0x80) {
            AppendHexByte(out, byte);
            ++at;
        } else {
            uint32_t codePoint = 0;
            const size_t length = Utf8Sequence(text, at, codePoint);
            if (length == 0) {
                AppendHexByte(out, byte);
                ++at;
            } else if (IsHiddenControl(codePoint)) {
                char escaped[16];
                std::snprintf(escaped, sizeof escaped, "\\u{%04x}", static_cast<unsigned>(codePoint));
                out += escaped;
                at += length;
            } else {
                out.append(text, at, length);
                at += length;
            }
        }
    }
    return out;
}

std::string LowerHex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}
