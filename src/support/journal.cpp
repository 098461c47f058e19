#include "support/journal.h"

#include <windows.h>

#include <cstdio>

#include "support/handles.h"
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

// Holds the lock shared by every writer of one journal, in this process and
// in any other agent of the session, for the time of one line. A seek to the
// end and a write are two steps, so two unlocked writers can land on the
// same offset and one line overwrites the other. The lock is a courtesy, not
// a condition: when it cannot be had in time, the line is written anyway.
class JournalLock {
public:
    explicit JournalLock(const std::wstring& journalPath) {
        std::wstring upper = journalPath;
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
        mutex_.Reset(CreateMutexW(nullptr, FALSE, JournalLockName(upper).c_str()));
        if (!mutex_.Valid()) return;
        const DWORD wait = WaitForSingleObject(mutex_.Get(), LockWaitMs);
        // Abandoned: the last holder ended mid-line, and the lock is now ours.
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~JournalLock() {
        if (held_) ReleaseMutex(mutex_.Get());
    }
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;

private:
    static constexpr DWORD LockWaitMs = 2000;
    ScopedHandle mutex_;
    bool held_ = false;
};

}  // namespace

void AppendJournal(const std::wstring& folder, const std::wstring& fileName, const std::string& text) {
    const std::wstring recordFolder = folder + L"\\" + RecordFolderName;
    CreateDirectoryW(recordFolder.c_str(), nullptr);  // an existing folder is fine
    const std::wstring path = recordFolder + L"\\" + fileName;

    // Text mode: the "\n" of the line is written as CR LF. Each line is one
    // locked open, append and close, so the window and worker threads, and a
    // second agent in the same folder, can share the file.
    const JournalLock lock(path);
    FILE* file = _wfopen(path.c_str(), L"at");
    if (file == nullptr) return;
    const std::string line = JournalLine(CurrentLocalStamp(), text);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

void AppendDownloadJournal(const std::wstring& folder, const std::string& text) {
    AppendJournal(folder, DownloadJournalName, text);
}
