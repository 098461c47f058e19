#include "support/journal.h"

#include <windows.h>

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

// Holds an exclusive lock on one byte of the open journal file for the time
// of one line. The lock belongs to the file itself, so every writer of it
// takes the same one: threads, agents of other users on a terminal server,
// agents that reached the file through another spelling of its folder (an
// 8.3 name, a mapped drive, a UNC path). A seek to the end and a write are
// two steps, so two unlocked writers can land on the same offset and one
// line overwrites the other. The lock is a courtesy, not a condition: when
// it cannot be had within 2 s, the line is written anyway.
class JournalLock {
public:
    explicit JournalLock(HANDLE file) : file_(file) {
        const ULONGLONG deadline = GetTickCount64() + LockWaitMs;
        for (;;) {
            OVERLAPPED region = Region();
            if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region)) {
                held_ = true;
                return;
            }
            // Another error: the file system has no locks; nothing to wait for.
            if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() >= deadline) return;
            Sleep(LockPollMs);
        }
    }
    ~JournalLock() {
        if (!held_) return;
        OVERLAPPED region = Region();
        UnlockFileEx(file_, 0, 1, 0, &region);
    }
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;

private:
    static constexpr DWORD LockWaitMs = 2000;
    static constexpr DWORD LockPollMs = 1;
    static OVERLAPPED Region() {
        OVERLAPPED region = {};
        region.Offset = static_cast<DWORD>(JournalLockOffset & 0xFFFFFFFFu);
        region.OffsetHigh = static_cast<DWORD>(JournalLockOffset >> 32);
        return region;
    }

    HANDLE file_;
    bool held_ = false;
};

}  // namespace

void AppendJournal(const std::wstring& folder, const std::wstring& fileName, const std::string& text) {
    const std::wstring recordFolder = folder + L"\\" + RecordFolderName;
    CreateDirectoryW(recordFolder.c_str(), nullptr);  // an existing folder is fine
    const std::wstring path = recordFolder + L"\\" + fileName;

    // Each line is one locked open, append and close, so the window and
    // worker threads, and other agents writing the same file, can share it.
    // Opened as a text-mode stream would open it (others may read and
    // write; a file held without sharing drops the line).
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return;
    const JournalLock lock(file.Get());
    const std::string bytes = JournalFileBytes(JournalLine(CurrentLocalStamp(), text));
    const LARGE_INTEGER fromEnd = {};
    if (!SetFilePointerEx(file.Get(), fromEnd, nullptr, FILE_END)) return;
    DWORD written = 0;
    WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void AppendDownloadJournal(const std::wstring& folder, const std::string& text) {
    AppendJournal(folder, DownloadJournalName, text);
}
