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
