// Append-only CSV journals in the record folder.
#pragma once
#include <string>

// Appends "timestamp;text" CR LF to folder\actualizador_registros\fileName,
// creating the record folder and the file as needed. Never fails the caller:
// a line that cannot be written is dropped.
void AppendJournal(const std::wstring& folder, const std::wstring& fileName, const std::string& text);

// AppendJournal to "descargas.csv".
void AppendDownloadJournal(const std::wstring& folder, const std::string& text);
