#include "byte_range.h"

#include <limits>

namespace {

// Reads decimal digits from text[at], saturating at the largest value.
// False when there is no digit there.
bool ReadNumber(const std::string& text, size_t& at, uint64_t& value) {
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    const size_t start = at;
    value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        value = value > (max - digit) / 10 ? max : value * 10 + digit;
    }
    return at > start;
}

// Parses "bytes=N-" or "bytes=N-M"; hasLast tells whether M was given.
bool ParseSingleRange(const std::string& header, uint64_t& first, uint64_t& last, bool& hasLast) {
    const std::string unit = "bytes=";
    if (header.compare(0, unit.size(), unit) != 0) return false;
    size_t at = unit.size();
    if (!ReadNumber(header, at, first) || at >= header.size() || header[at] != '-') return false;
    ++at;
    hasLast = ReadNumber(header, at, last);
    return at == header.size();
}

}  // namespace

RangeDecision DecideRange(const std::string& header, uint64_t size) {
    RangeDecision decision;
    decision.last = size == 0 ? 0 : size - 1;
    uint64_t first = 0, last = 0;
    bool hasLast = false;
    if (!ParseSingleRange(header, first, last, hasLast) || (hasLast && last < first)) return decision;
    if (first >= size) {
        decision.status = 416;
        decision.contentRange = "bytes */" + std::to_string(size);
        return decision;
    }
    decision.status = 206;
    decision.first = first;
    if (hasLast && last < decision.last) decision.last = last;
    decision.contentRange =
        "bytes " + std::to_string(first) + "-" + std::to_string(decision.last) + "/" + std::to_string(size);
    return decision;
}
