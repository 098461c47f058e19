#include "console/spanish_format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "rollouts/rollout_model.h"

namespace {

// Digits grouped by three with ".", from four digits on.
std::string Grouped(const std::string& digits) {
    std::string out;
    const size_t first = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    out += digits.substr(0, first);
    for (size_t at = first; at < digits.size(); at += 3) out += "." + digits.substr(at, 3);
    return out;
}

// Windows releases by build number: the name a release manager knows.
struct WindowsBuild {
    const char* prefix;
    const char* name;
};

constexpr WindowsBuild WindowsBuilds[] = {
    {"10.0.26200", "Windows 11 25H2"}, {"10.0.26100", "Windows 11 24H2"}, {"10.0.22631", "Windows 11 23H2"},
    {"10.0.22621", "Windows 11 22H2"}, {"10.0.22000", "Windows 11 21H2"}, {"10.0.20348", "Windows Server 2022"},
    {"10.0.19045", "Windows 10 22H2"}, {"10.0.19044", "Windows 10 21H2"}, {"10.0.19043", "Windows 10 21H1"},
    {"10.0.19042", "Windows 10 20H2"}, {"10.0.19041", "Windows 10 2004"}, {"10.0.18363", "Windows 10 1909"},
    {"10.0.18362", "Windows 10 1903"}, {"10.0.17763", "Windows 10 1809"}, {"10.0.17134", "Windows 10 1803"},
    {"10.0.16299", "Windows 10 1709"}, {"10.0.15063", "Windows 10 1703"}, {"10.0.14393", "Windows 10 1607"},
    {"10.0.10586", "Windows 10 1511"}, {"10.0.10240", "Windows 10 1507"}, {"6.3.9600", "Windows 8.1"},
    {"6.2.9200", "Windows 8"},         {"6.1.7601", "Windows 7 SP1"},     {"6.1.7600", "Windows 7"},
    {"6.0.6002", "Windows Vista SP2"},
};

}  // namespace

std::string SpanishCount(long long value) {
    const std::string digits = std::to_string(value < 0 ? -static_cast<unsigned long long>(value)
                                                        : static_cast<unsigned long long>(value));
    return (value < 0 ? "-" : "") + (digits.size() >= 4 ? Grouped(digits) : digits);
}

std::string SpanishDecimal(double value, int places) {
    if (!std::isfinite(value)) return "—";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, std::fabs(value));
    std::string fixed = text;
    const size_t point = fixed.find('.');
    const std::string whole = fixed.substr(0, point);
    const std::string negative = value < 0 && fixed.find_first_not_of("0.") != std::string::npos ? "-" : "";
    std::string out = negative + (whole.size() >= 4 ? Grouped(whole) : whole);
    if (point != std::string::npos) out += "," + fixed.substr(point + 1);
    return out;
}

std::string SpanishPercent(double percent) {
    const int places = percent != 0 && std::fabs(percent) < 1 ? 2 : 1;
    return SpanishDecimal(percent, places) + " %";
}

std::string ShareOf(long long part, long long whole) {
    if (whole <= 0) return "—";
    return SpanishPercent(100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

std::string Counted(long long value, const std::string& one, const std::string& many) {
    return SpanishCount(value) + " " + (value == 1 ? one : many);
}

std::string SpanishDuration(int64_t seconds) {
    if (seconds < 60) return SpanishCount(seconds) + " s";
    const int64_t minutes = seconds / 60;
    std::string text;
    if (minutes < 60) {
        text = SpanishCount(minutes) + " min";
    } else {
        text = SpanishCount(minutes / 60) + " h";
        if (minutes % 60 != 0) text += " " + SpanishCount(minutes % 60) + " min";
    }
    if (seconds % 60 != 0) text += " " + SpanishCount(seconds % 60) + " s";
    return text;
}

std::string SpanishTime(const TimeZone& zone, int64_t unixSeconds) {
    const LocalTime local = ToLocal(zone, unixSeconds);
    char text[48];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d", local.day, local.month, local.year, local.hour,
                  local.minute);
    return text;
}

std::string UtcTitle(int64_t unixSeconds) {
    static const TimeZone utc = [] {
        TimeZone zone;
        zone.kinds.push_back({0, "UTC"});
        return zone;
    }();
    const LocalTime t = ToLocal(utc, unixSeconds);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

std::string StatusWords(const std::string& status) {
    if (status == rollout_status::Running) return "En curso";
    if (status == rollout_status::Paused) return "Pausado";
    if (status == rollout_status::Halted) return "Detenido";
    if (status == rollout_status::Finished) return "Terminado";
    return status;
}

std::string WindowsName(const std::string& version) {
    for (const WindowsBuild& build : WindowsBuilds) {
        const std::string prefix = build.prefix;
        if (version == prefix || version.rfind(prefix + ".", 0) == 0) return build.name;
    }
    return version;
}
