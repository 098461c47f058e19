#include "storage/stored_time.h"

#include <ctime>

std::string UtcText(int64_t unixSeconds) {
    const auto time = static_cast<std::time_t>(unixSeconds);
    std::tm utc = {};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string UtcNowText() {
    return UtcText(std::time(nullptr));
}
