// Numbers, times, durations and the store's words as the console writes
// them in Spanish: thousands with ".", decimals with ",", dates
// day/month/year in the operator's time zone, nouns agreeing with their
// number. Plain text: callers escape it where it goes into a page.
#pragma once
#include <cstdint>
#include <string>

#include "console/time_zone.h"

// 55700 -> "55.700"; 2711 -> "2.711"; -3 -> "-3".
std::string SpanishCount(long long value);

// 0.5549 with 2 places -> "0,55"; the thousands grouped as above.
std::string SpanishDecimal(double value, int places);

// A share of 100: 0.5549 -> "0,55 %" (2 places below 1 %, else 1).
std::string SpanishPercent(double percent);

// The share `part` of `whole` as SpanishPercent, or "—" when there is no whole.
std::string ShareOf(long long part, long long whole);

// "1 instalación", "2.711 instalaciones".
std::string Counted(long long value, const std::string& one, const std::string& many);

// A duration as it was set: 20 -> "20 s", 240 * 60 -> "4 h", 90 * 60 -> "1 h 30 min",
// 0 -> "0 s".
std::string SpanishDuration(int64_t seconds);

// "09/12/2026 16:41" in the zone.
std::string SpanishTime(const TimeZone& zone, int64_t unixSeconds);
// "2026-12-09 15:41:03 UTC".
std::string UtcTitle(int64_t unixSeconds);

// A status as the store keeps it (EN_CURSO...) in words: "En curso".
std::string StatusWords(const std::string& status);

// A Windows version as agents send it ("10.0.19045") by its name
// ("Windows 10 22H2"); the text as sent when it is no version we know.
std::string WindowsName(const std::string& version);
