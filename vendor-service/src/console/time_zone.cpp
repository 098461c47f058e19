#include "console/time_zone.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace {

constexpr char ZoneFolder[] = "/usr/share/zoneinfo/";
constexpr size_t MaxZoneFileBytes = size_t{256} * 1024;
constexpr size_t HeaderBytes = 44;

uint32_t Be32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

int64_t Be64(const std::string& bytes, size_t at) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return static_cast<int64_t>(value);
}

struct Counts {
    uint32_t isUt = 0, isStd = 0, leap = 0, times = 0, kinds = 0, chars = 0;
};

bool ReadCounts(const std::string& bytes, size_t at, Counts& counts) {
    if (bytes.size() < at + HeaderBytes || bytes.compare(at, 4, "TZif") != 0) return false;
    counts = {Be32(bytes, at + 20), Be32(bytes, at + 24), Be32(bytes, at + 28),
              Be32(bytes, at + 32), Be32(bytes, at + 36), Be32(bytes, at + 40)};
    return counts.kinds > 0 && counts.kinds <= 256 && counts.times <= 10000 && counts.chars <= 4096 &&
           counts.leap <= 10000 && counts.isUt <= 256 && counts.isStd <= 256;
}

// The data block's size, with times of `timeBytes` each.
size_t BlockBytes(const Counts& c, size_t timeBytes) {
    return c.times * timeBytes + c.times + static_cast<size_t>(c.kinds) * 6 + c.chars + c.leap * (timeBytes + 4) + c.isStd + c.isUt;
}

bool ReadBlock(const std::string& bytes, size_t at, const Counts& c, size_t timeBytes, TimeZone& zone) {
    if (bytes.size() < at + BlockBytes(c, timeBytes)) return false;
    for (size_t i = 0; i < c.times; ++i) {
        zone.transitions.push_back(timeBytes == 8 ? Be64(bytes, at + i * 8)
                                                  : static_cast<int32_t>(Be32(bytes, at + i * 4)));
    }
    at += c.times * timeBytes;
    for (uint32_t i = 0; i < c.times; ++i) {
        const auto kind = static_cast<uint8_t>(bytes[at + i]);
        if (kind >= c.kinds) return false;
        zone.kindAfter.push_back(kind);
    }
    at += c.times;
    const size_t chars = at + static_cast<size_t>(c.kinds) * 6;
    for (size_t i = 0; i < c.kinds; ++i) {
        TimeZone::Kind kind;
        kind.offsetSeconds = static_cast<int32_t>(Be32(bytes, at + i * 6));
        const auto index = static_cast<unsigned char>(bytes[at + i * 6 + 5]);
        if (index >= c.chars) return false;
        const size_t end = bytes.find('\0', chars + index);
        kind.abbreviation = bytes.substr(chars + index, std::min(end, chars + c.chars) - chars - index);
        if (kind.offsetSeconds < -26 * 3600 || kind.offsetSeconds > 26 * 3600) return false;
        zone.kinds.push_back(kind);
    }
    if (!std::is_sorted(zone.transitions.begin(), zone.transitions.end())) return false;
    // Before the first transition: the first kind that is not daylight time (RFC 8536: kind 0).
    zone.kindBefore = 0;
    return true;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool IsZoneName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name.front() == '/' || name.back() == '/') return false;
    std::string part;
    for (const char c : name + "/") {
        if (c == '/') {
            if (part.empty() || part == "." || part == "..") return false;
            part.clear();
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (!std::isalnum(byte) && c != '_' && c != '-' && c != '+' && c != '.') return false;
        part += c;
    }
    return true;
}

bool ParseTimeZone(const std::string& bytes, const std::string& name, TimeZone& zone) {
    zone = TimeZone();
    zone.name = name;
    Counts first;
    if (!ReadCounts(bytes, 0, first)) return false;
    const char version = bytes[4];
    if (version == '\0') return ReadBlock(bytes, HeaderBytes, first, 4, zone);
    // Version 2 and later repeat everything with 64-bit times after the first block.
    const size_t second = HeaderBytes + BlockBytes(first, 4);
    Counts wide;
    return ReadCounts(bytes, second, wide) && ReadBlock(bytes, second + HeaderBytes, wide, 8, zone);
}

std::shared_ptr<const TimeZone> ZoneNamed(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const TimeZone>> zones;
    static const auto utc = [] {
        auto zone = std::make_shared<TimeZone>();
        zone->name = "UTC";
        zone->kinds.push_back({0, "UTC"});
        return zone;
    }();
    if (!IsZoneName(name)) return utc;
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = zones.find(name);
    if (found != zones.end()) return found->second;
    std::ifstream file(ZoneFolder + name, std::ios::binary);
    std::string bytes(MaxZoneFileBytes, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(file.gcount()));
    auto zone = std::make_shared<TimeZone>();
    std::shared_ptr<const TimeZone> kept = utc;
    if (ParseTimeZone(bytes, name, *zone)) kept = zone;
    if (zones.size() < 1000) zones[name] = kept;  // names come from cookies: the cache is bounded
    return kept;
}

LocalTime ToLocal(const TimeZone& zone, int64_t unixSeconds) {
    LocalTime local;
    size_t kind = zone.kindBefore;
    const auto after = std::upper_bound(zone.transitions.begin(), zone.transitions.end(), unixSeconds);
    if (after != zone.transitions.begin()) kind = zone.kindAfter[static_cast<size_t>(after - zone.transitions.begin() - 1)];
    if (kind < zone.kinds.size()) {
        local.offsetSeconds = zone.kinds[kind].offsetSeconds;
        local.abbreviation = zone.kinds[kind].abbreviation;
    }
    const auto shifted = static_cast<std::time_t>(unixSeconds + local.offsetSeconds);
    std::tm parts = {};
    gmtime_r(&shifted, &parts);
    local.year = parts.tm_year + 1900;
    local.month = parts.tm_mon + 1;
    local.day = parts.tm_mday;
    local.hour = parts.tm_hour;
    local.minute = parts.tm_min;
    local.second = parts.tm_sec;
    return local;
}

bool ParseUtcText(const std::string& text, int64_t& unixSeconds) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    for (const size_t at : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
        if (text[at] < '0' || text[at] > '9') return false;
    }
    const auto number = [&text](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
    const int month = number(5, 2), day = number(8, 2), hour = number(11, 2), minute = number(14, 2),
              second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    unixSeconds = DaysFromCivil(number(0, 4), static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                  int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    return true;
}
