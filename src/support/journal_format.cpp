#include "support/journal_format.h"

#include <cstdio>

std::string JournalTimestamp(const LocalStamp& s) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", s.year, s.month, s.day, s.hour, s.minute,
                  s.second);
    return buffer;
}

std::string JournalLine(const LocalStamp& stamp, const std::string& text) {
    const bool cut = text.size() > JournalTextLimit;
    std::string line = JournalTimestamp(stamp) + ";";
    const size_t kept = line.size();
    line.append(text, 0, cut ? JournalTextLimit : text.size());
    for (size_t i = kept; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F) line[i] = '_';
    }
    if (cut) line += "...";
    return line + "\n";
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
