#include "update/start_watch.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <memory>
#include <mutex>
#include <vector>

#include "app/app_folder_rules.h"
#include "service/installation_identity.h"
#include "service/reports.h"
#include "support/file_probe.h"
#include "support/handles.h"
#include "support/journal.h"
#include "support/journal_format.h"
#include "support/text.h"
#include "update/package_files.h"
#include "update/package_naming.h"

namespace {

std::mutex& NoteMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<PendingStartWatch>& Noted() {
    static std::unique_ptr<PendingStartWatch> noted;
    return noted;
}

std::mutex& ThreadsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<HANDLE>& WatchThreads() {
    static std::vector<HANDLE> threads;
    return threads;
}

// Stops of the folder's program, counted across every agent of this
// session: a count shared in a named mapping, raised before each taskkill
// of the program. A watch that sees it rise while it waits knows that an
// end with a failure code was an update's stop, not the program's own.
volatile LONG* StopCount(const std::wstring& appFolder) {
    static std::mutex mutex;
    static std::wstring folder;
    static ScopedHandle mapping;
    static volatile LONG* count = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (count != nullptr && folder == appFolder) return count;
    if (count != nullptr) return nullptr;  // one program folder per agent
    std::wstring lower = appFolder;
    CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
    unsigned long long hash = 14695981039346656037ull;  // FNV-1a over the folder's UTF-16 units
    for (wchar_t unit : lower) hash = (hash ^ static_cast<unsigned short>(unit)) * 1099511628211ull;
    wchar_t name[64];
    wsprintfW(name, L"Local\trevanto-paradas-%08lx%08lx", static_cast<unsigned long>(hash >> 32),
              static_cast<unsigned long>(hash & 0xFFFFFFFFull));
    mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), name));
    if (!mapping.Valid()) return nullptr;
    // The view stays mapped for the agent's life, as the mapping does.
    void* view = MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG));
    if (view == nullptr) return nullptr;
    folder = appFolder;
    count = static_cast<volatile LONG*>(view);
    return count;
}

LONG StopsSoFar(const std::wstring& appFolder) {
    volatile LONG* count = StopCount(appFolder);
    return count != nullptr ? InterlockedCompareExchange(count, 0, 0) : 0;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::wstring RecordPath(const std::wstring& appFolder) {
    return JoinPath(JoinPath(appFolder, RecordFolderName), WidenBytes(PendingStartWatchFileName));
}

void Journal(const std::wstring& appFolder, const std::string& text) {
    AppendDownloadJournal(appFolder, text);
}

// The record written beside and moved over, so that it is never half written.
void KeepRecord(const std::wstring& appFolder, const PendingStartWatch& watch) {
    CreateDirectoryW(JoinPath(appFolder, RecordFolderName).c_str(), nullptr);
    const std::wstring path = RecordPath(appFolder);
    const std::wstring partial = path + PartialSuffix;
    const std::string text = PendingStartWatchText(watch);
    {
        ScopedHandle file(
            CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file.Valid() || !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            file.Close();
            DeleteFileW(partial.c_str());
            return;
        }
    }
    if (!MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) DeleteFileW(partial.c_str());
}

bool ReadRecord(const std::wstring& appFolder, PendingStartWatch& watch) {
    ScopedHandle file(CreateFileW(RecordPath(appFolder).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > PendingStartWatchLimit) return false;
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() && !ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        return false;
    }
    text.resize(read);
    return ParsePendingStartWatch(text, watch);
}

// Starts the program as the user would and watches it for StartWatchMs.
StartObservation LaunchAndObserve(const std::wstring& appFolder, const std::wstring& program) {
    StartObservation seen;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = program.c_str();
    info.lpDirectory = appFolder.c_str();
    info.nShow = SW_SHOWNORMAL;
    const LONG stopsBefore = StopsSoFar(appFolder);
    const bool executed = ShellExecuteExW(&info) != FALSE;
    const auto shellResult = static_cast<unsigned long>(reinterpret_cast<INT_PTR>(info.hInstApp));
    if (!executed || info.hProcess == nullptr) {
        seen.launchCode = executed ? shellResult : GetLastError();
        return seen;
    }
    ScopedHandle process(info.hProcess);
    seen.launched = true;
    if (WaitForSingleObject(process.Get(), StartWatchMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.Get(), &code);
        seen.ended = true;
        seen.exitCode = code;
        seen.stoppedMeanwhile = StopsSoFar(appFolder) != stopsBefore;
    }
    return seen;
}

// The previous program back under the program's name, from the update's
// backup, in one rename over the program that failed.
bool PutPreviousBack(const std::wstring& appFolder, const PendingStartWatch& watch) {
    const std::wstring program = JoinPath(appFolder, FromUtf8(watch.exeName));
    const std::wstring copy = FromUtf8(watch.previousCopy);
    if (watch.previousCopy.empty() || !IsExistingFile(copy)) {
        Journal(appFolder, "RESTAURACION_IMPOSIBLE;" + PathText(program) + ";sin copia anterior");
        return false;
    }
    const std::wstring partial = program + PartialSuffix;
    const bool back = CopyFileW(copy.c_str(), partial.c_str(), FALSE) &&
                      MoveFileExW(partial.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!back) {
        const DWORD error = GetLastError();
        DeleteFileW(partial.c_str());
        Journal(appFolder, "ERROR_RESTAURAR_TRAS_ARRANQUE;" + PathText(copy) + ";->;" + PathText(program) +
                               ";err=" + DecimalText(error));
        return false;
    }
    Journal(appFolder, "RESTAURADO_TRAS_ARRANQUE;" + PathText(copy) + ";->;" + PathText(program));
    // A package's script and its server component ran; neither can be undone.
    if (watch.zipPackage) Journal(appFolder, "NO_SE_DESHACE;REGISTRO_BAT;MARVEKSERVER");
    return true;
}

void ReportFailedStart(const PendingStartWatch& watch, unsigned long code, std::int32_t seconds) {
    InstallationIdentity identity;
    identity.productKey = watch.productKey;
    identity.productVersion = watch.previousVersion;
    identity.exeName = watch.exeName;
    identity.settingsKey = watch.settingsKey;
    SendUpdateReport(identity, watch.newVersion, watch.url, "ARRANQUE_FALLIDO", static_cast<std::int32_t>(code),
                     "el programa nuevo no arranca", "ARRANQUE", seconds);
}

// True, journalled, when the start held or an update stopped the program
// meanwhile (that update watches its own start); otherwise the failure is journalled.
bool WatchOneStart(const std::wstring& appFolder, const std::wstring& program, StartObservation& seen) {
    seen = LaunchAndObserve(appFolder, program);
    if (StartProven(seen)) {
        Journal(appFolder, "ARRANQUE_COMPROBADO;" + PathText(program) + ";estado=" +
                               (seen.ended ? "CERRADO_POR_EL_USUARIO" : "EN_MARCHA"));
        return true;
    }
    if (StartInterrupted(seen)) {
        Journal(appFolder, "ARRANQUE_INTERRUMPIDO;" + PathText(program) + ";ec=" + DecimalText(seen.exitCode));
        return true;
    }
    Journal(appFolder, "ARRANQUE_FALLIDO;" + PathText(program) + ";ec=" + DecimalText(StartFailureCode(seen)));
    return false;
}

struct WatchJob {
    std::wstring appFolder;
    PendingStartWatch watch;
};

void RunWatch(const WatchJob& job) {
    const std::wstring& appFolder = job.appFolder;
    PendingStartWatch watch = job.watch;
    const std::wstring program = JoinPath(appFolder, FromUtf8(watch.exeName));
    const ULONGLONG started = GetTickCount64();
    StartObservation seen;
    if (!WatchOneStart(appFolder, program, seen) && !watch.restored) {
        // One restore per update: the program put back is watched once more, never restored again.
        const bool back = PutPreviousBack(appFolder, watch);
        ReportFailedStart(watch, StartFailureCode(seen), static_cast<std::int32_t>((GetTickCount64() - started) / 1000));
        if (back) {
            watch.restored = true;
            KeepRecord(appFolder, watch);
            WatchOneStart(appFolder, program, seen);
        }
    }
    DeleteFileW(RecordPath(appFolder).c_str());
}

DWORD WINAPI WatchThread(LPVOID parameter) {
    std::unique_ptr<WatchJob> job(static_cast<WatchJob*>(parameter));
    RunWatch(*job);
    return 0;
}

void StartWatchThread(const std::wstring& appFolder, const PendingStartWatch& watch) {
    auto* job = new WatchJob{appFolder, watch};
    HANDLE thread = CreateThread(nullptr, 0, WatchThread, job, 0, nullptr);
    if (thread == nullptr) {
        std::unique_ptr<WatchJob> owned(job);
        RunWatch(*owned);  // watched here instead
        return;
    }
    std::lock_guard<std::mutex> lock(ThreadsMutex());
    WatchThreads().push_back(thread);
}

// True when a process runs from an executable of that file name.
bool IsRunning(const std::wstring& exeName) {
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    const std::wstring wanted = LowerAscii(exeName);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (LowerAscii(NameAfterLastSeparator(entry.szExeFile)) == wanted) return true;
    }
    return false;
}

}  // namespace

void NoteProgramStopping(const std::wstring& appFolder) {
    volatile LONG* count = StopCount(appFolder);
    if (count != nullptr) InterlockedIncrement(count);
}

void NoteInstalledProgram(const PendingStartWatch& installed) {
    std::lock_guard<std::mutex> lock(NoteMutex());
    Noted() = std::make_unique<PendingStartWatch>(installed);
}

bool TakeInstalledProgram(PendingStartWatch& installed) {
    std::lock_guard<std::mutex> lock(NoteMutex());
    if (!Noted()) return false;
    installed = *Noted();
    Noted().reset();
    return true;
}

void StartWatched(const std::wstring& appFolder, const PendingStartWatch& watch) {
    // Kept before the program starts: whenever the agent ends, the next start knows.
    KeepRecord(appFolder, watch);
    StartWatchThread(appFolder, watch);
}

void FinishPendingStartWatch(const std::wstring& appFolder) {
    PendingStartWatch watch;
    if (!ReadRecord(appFolder, watch)) {
        DeleteFileW(RecordPath(appFolder).c_str());  // unreadable: nothing can be finished
        return;
    }
    const std::wstring program = JoinPath(appFolder, FromUtf8(watch.exeName));
    Journal(appFolder, "VIGILANCIA_PENDIENTE;" + PathText(program) + (watch.restored ? ";restaurado" : ""));
    if (IsRunning(FromUtf8(watch.exeName))) {
        // It is running: it started.
        Journal(appFolder, "ARRANQUE_COMPROBADO;" + PathText(program) + ";estado=EN_MARCHA");
        DeleteFileW(RecordPath(appFolder).c_str());
        return;
    }
    StartWatchThread(appFolder, watch);
}

void WaitForStartWatches() {
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> lock(ThreadsMutex());
        threads.swap(WatchThreads());
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
