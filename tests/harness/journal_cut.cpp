// The journal writer of the harness, and only of the harness: the agent's own
// AppendJournal, compiled here once more under another name, with a cut
// after it. With TREVANTO_CORTE_TRAS_LINEA=k in the environment, the process
// ends (TerminateProcess, exit code JournalCutExitCode) right after its k-th
// journal line, counted over every journal file, as a power cut, a log-off
// or the task manager would end it there. Without the variable, nothing
// changes. trevanto.exe never links this file: the shipped agent has no
// such switch, and its journal writer is the one compiled in src/.
//
// The harness links this object before the agent's library, so the
// linker takes AppendJournal and AppendDownloadJournal from here and never
// pulls src/support/journal.cpp's object out of the archive.
#define AppendJournal AppendJournalUncut
#define AppendDownloadJournal AppendDownloadJournalUncut
#include "support/journal.cpp"
#undef AppendJournal
#undef AppendDownloadJournal

#include <windows.h>

#include <atomic>
#include <cwchar>

namespace {

// The exit code of a process ended by the cut; the sweep tells it from a
// worker that ended by itself.
constexpr UINT JournalCutExitCode = 77;

// The line after which the process ends; 0: never.
long CutAfterLine() {
    wchar_t value[16] = {};
    const DWORD length = GetEnvironmentVariableW(L"TREVANTO_CORTE_TRAS_LINEA", value, 16);
    if (length == 0 || length >= 16) return 0;
    return std::wcstol(value, nullptr, 10);
}

std::atomic<long> linesWritten{0};

}  // namespace

void AppendJournal(const std::wstring& folder, const std::wstring& fileName, const std::string& text) {
    static const long cutAfter = CutAfterLine();
    AppendJournalUncut(folder, fileName, text);  // the line is whole and its file closed
    if (++linesWritten == cutAfter) TerminateProcess(GetCurrentProcess(), JournalCutExitCode);
}

void AppendDownloadJournal(const std::wstring& folder, const std::string& text) {
    AppendJournal(folder, DownloadJournalName, text);
}
