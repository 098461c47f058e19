// The journal line format. No Win32 here.
#pragma once
#include <cstddef>
#include <string>

inline constexpr wchar_t RecordFolderName[] = L"actualizador_registros";
inline constexpr wchar_t DownloadJournalName[] = L"descargas.csv";
inline constexpr wchar_t ExtractionJournalName[] = L"extracciones.csv";

struct LocalStamp {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DD hh:mm:ss" as "%04u-%02u-%02u %02u:%02u:%02u" gives it.
std::string JournalTimestamp(const LocalStamp& stamp);

// A caller's text holds what hostile hosts sent (addresses, links): no more
// of it than this goes into one line.
inline constexpr size_t JournalTextLimit = 4096;

// Timestamp, ";", the caller's text, and "\n" (a text-mode stream turns it
// into CR LF on disk). Control bytes of the text (a line break that would
// forge a line of its own among them) become "_", and a text longer than
// JournalTextLimit is cut there and ends in "...".
std::string JournalLine(const LocalStamp& stamp, const std::string& text);

// The line as the journal file holds it: every "\n" written as CR LF, as a
// text-mode stream writes it (a CR already before it stays).
std::string JournalFileBytes(const std::string& line);
