#include "support/journal.h"

#include <windows.h>

#include <cstdio>

#include "support/journal_format.h"

namespace {

LocalStamp CurrentLocalStamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    LocalStamp stamp;
    stamp.year = now.wYear;
    stamp.month = now.wMonth;
    stamp.day = now.wDay;
    stamp.hour = now.wHour;
    stamp.minute = now.wMinute;
    stamp.second = now.wSecond;
    return stamp;
}

}  // namespace

void AppendJournal(const std::wstring& folder, const std::wstring& fileName, const std::string& text) {
    const std::wstring recordFolder = folder + L"\\" + RecordFolderName;
    CreateDirectoryW(recordFolder.c_str(), nullptr);  // an existing folder is fine
    const std::wstring path = recordFolder + L"\\" + fileName;

    // Text mode: the "\n" of the line is written as CR LF. Each line is one
    // open, append and close, so the window and worker threads can share it.
    FILE* file = _wfopen(path.c_str(), L"at");
    if (file == nullptr) return;
    const std::string line = JournalLine(CurrentLocalStamp(), text);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

void AppendDownloadJournal(const std::wstring& folder, const std::string& text) {
    AppendJournal(folder, DownloadJournalName, text);
}
