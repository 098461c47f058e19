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

std::string JournalFileBytes(const std::string& line) {
    std::string bytes;
    bytes.reserve(line.size() + 2);
    for (const char c : line) {
        if (c == '\n') bytes.push_back('\r');
        bytes.push_back(c);
    }
    return bytes;
}
