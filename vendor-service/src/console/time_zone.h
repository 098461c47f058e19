// Time zones for the console: an operator reads times in their own zone,
// read from the system's zone files (TZif, /usr/share/zoneinfo). Only the
// transitions are read; a time past the last one keeps its offset.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TimeZone {
    std::string name;  // "Europe/Madrid"; "UTC" when none could be read
    struct Kind {
        int32_t offsetSeconds = 0;  // east of UTC
        std::string abbreviation;   // "CET", "CEST"
    };
    std::vector<int64_t> transitions;  // Unix seconds, ascending
    std::vector<uint8_t> kindAfter;    // the kind in force from each transition on
    std::vector<Kind> kinds;
    size_t kindBefore = 0;  // the kind before the first transition
};

// A zone name as the zone files name them: letters, digits, '_', '-', '+'
// and '/' between parts, none of them "." or "..", at most 64 bytes.
bool IsZoneName(const std::string& name);

// TZif bytes (versions 1 to 4; the 64-bit block when there is one) into a
// zone; false when they are not such a file.
bool ParseTimeZone(const std::string& bytes, const std::string& name, TimeZone& zone);

// The named zone from the system's files, read once and kept; UTC when
// the name is not a zone this system has.
std::shared_ptr<const TimeZone> ZoneNamed(const std::string& name);

struct LocalTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int32_t offsetSeconds = 0;
    std::string abbreviation;
};

LocalTime ToLocal(const TimeZone& zone, int64_t unixSeconds);

// "YYYY-MM-DDThh:mm:ssZ" (as the store keeps times) into Unix seconds;
// false for any other text.
bool ParseUtcText(const std::string& text, int64_t& unixSeconds);
