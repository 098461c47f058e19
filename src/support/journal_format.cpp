#include "support/journal_format.h"

#include <cstdio>

std::string JournalTimestamp(const LocalStamp& s) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", s.year, s.month, s.day, s.hour, s.minute,
                  s.second);
    return buffer;
}

std::string JournalLine(const LocalStamp& stamp, const std::string& text) {
    return JournalTimestamp(stamp) + ";" + text + "\n";
}

std::wstring JournalLockName(const std::wstring& upperCasedPath) {
    unsigned long long hash = 14695981039346656037ULL;
    for (const wchar_t unit : upperCasedPath) {
        hash ^= static_cast<unsigned long long>(static_cast<char16_t>(unit));
        hash *= 1099511628211ULL;
    }
    wchar_t digits[17];
    for (int i = 15; i >= 0; --i) {
        digits[i] = L"0123456789abcdef"[hash & 0xF];
        hash >>= 4;
    }
    digits[16] = L'\0';
    return std::wstring(L"Local\\trevanto_diario_") + digits;
}
