#include "net/resume_rules.h"

namespace {

constexpr unsigned long StatusOk = 200;
constexpr unsigned long StatusPartial = 206;

// Reads decimal digits at `at` into `value`; false without any digit or on overflow.
bool ReadNumber(const std::string& text, size_t& at, std::uint64_t& value) {
    const size_t first = at;
    value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const unsigned digit = static_cast<unsigned>(text[at] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return at > first;
}

bool Expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

// "bytes FIRST-LAST/TOTAL" and nothing else.
bool ParseContentRange(const std::string& text, std::uint64_t& first, std::uint64_t& last, std::uint64_t& total) {
    static const std::string unit = "bytes ";
    if (text.compare(0, unit.size(), unit) != 0) return false;
    size_t at = unit.size();
    return ReadNumber(text, at, first) && Expect(text, at, '-') && ReadNumber(text, at, last) &&
           Expect(text, at, '/') && ReadNumber(text, at, total) && at == text.size();
}

}  // namespace

ResumeAction DecideResume(unsigned long status, const std::string& contentRange, std::uint64_t held,
                          std::uint64_t total, std::uint64_t contentLength) {
    if (status == StatusOk) return ResumeAction::StartOver;
    if (status != StatusPartial || total == 0 || held >= total) return ResumeAction::Fail;
    std::uint64_t first = 0, last = 0, announced = 0;
    if (!ParseContentRange(contentRange, first, last, announced)) return ResumeAction::Fail;
    const bool fits = first == held && last == total - 1 && announced == total;
    const bool lengthFits = contentLength == 0 || contentLength == total - held;
    return fits && lengthFits ? ResumeAction::Append : ResumeAction::Fail;
}

std::string RangeHeader(std::uint64_t held) {
    return "Range: bytes=" + std::to_string(held) + "-\r\n";
}

namespace {

bool IsUsableHeaderValue(const std::string& value) {
    return !value.empty() && value.find_first_of("\r\n") == std::string::npos;
}

bool IsWeakEtag(const std::string& etag) {
    return etag.compare(0, 2, "W/") == 0;
}

}  // namespace

std::string IfRangeValidator(const std::string& etag, const std::string& lastModified) {
    if (IsUsableHeaderValue(etag)) return IsWeakEtag(etag) ? std::string() : etag;
    return IsUsableHeaderValue(lastModified) ? lastModified : std::string();
}

bool CanResumeFrom(const std::string& etag) {
    return !IsWeakEtag(etag);
}

std::string ResumeHeaders(std::uint64_t held, const std::string& validator) {
    std::string headers = RangeHeader(held);
    if (!validator.empty()) headers += "If-Range: " + validator + "\r\n";
    return headers;
}

unsigned long ResumeWaitMs(int attempt) {
    if (attempt < 1) return 0;
    return 2000ul << (attempt - 1);
}
