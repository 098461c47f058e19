// Append-only CSV journals in the record folder.
#pragma once
#include <string>

// The byte of a journal file that its writers lock for the time of a line:
// far beyond any journal's end, where no reader ever reads.
inline constexpr unsigned long long JournalLockOffset = 0x7FFFFFFF00000000ull;

// Appends "timestamp;text" CR LF to folder\actualizador_registros\fileName,
// creating the record folder and the file as needed. Never fails the caller:
// a line that cannot be written is dropped. Writers of one file take turns
// through a lock on the file itself (JournalLockOffset), waiting at most 2 s
// for it before they write anyway.
void AppendJournal(const std::wstring& folder, const std::wstring& fileName, const std::string& text);

// AppendJournal to "descargas.csv".
void AppendDownloadJournal(const std::wstring& folder, const std::string& text);
