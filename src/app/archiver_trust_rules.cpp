#include "app/archiver_trust_rules.h"

namespace {

constexpr size_t DigestHexLength = 64;

bool IsSeparator(char c) {
    return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char LowerHex(char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool SameDigest(const std::string& entry, const std::string& digestHex) {
    if (entry.size() != DigestHexLength || digestHex.size() != DigestHexLength) return false;
    for (size_t i = 0; i < DigestHexLength; ++i) {
        const char expected = LowerHex(entry[i]);
        if (!IsLowerHex(expected) || expected != digestHex[i]) return false;
    }
    return true;
}

}  // namespace

bool IsPinnedDigest(const std::string& pinnedList, const std::string& digestHex) {
    size_t at = 0;
    while (at < pinnedList.size()) {
        while (at < pinnedList.size() && IsSeparator(pinnedList[at])) ++at;
        const size_t start = at;
        while (at < pinnedList.size() && !IsSeparator(pinnedList[at])) ++at;
        if (at > start && SameDigest(pinnedList.substr(start, at - start), digestHex)) return true;
    }
    return false;
}
