#include "support/journal.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <regex>
#include <string>
#include <utility>

#include "support/temp_folder.h"
#include "support/text.h"

namespace {

const std::regex OneLine(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2};)");

std::string StampOf(const std::string& line) {
    return line.substr(0, 19);
}

// The folder's short (8.3) name: another spelling of the same folder.
std::wstring ShortSpelling(const std::wstring& path) {
    wchar_t shortName[MAX_PATH] = {};
    return GetShortPathNameW(path.c_str(), shortName, MAX_PATH) > 0 ? std::wstring(shortName) : std::wstring();
}

}  // namespace

TEST(Journal, FirstLineCreatesFolderAndFileWithCrLf) {
    TempFolder app;
    const std::wstring record = app / L"actualizador_registros";
    ASSERT_FALSE(TempFolder::Exists(record));

    AppendJournal(app.Path(), L"extracciones.csv", "UNZIP_7ZA;C:\\x.zip");

    const std::string bytes = TempFolder::ReadFile(record + L"\\extracciones.csv");
    ASSERT_EQ(bytes.size(), 20u + 18u + 2u);
    EXPECT_TRUE(std::regex_match(bytes.substr(0, 20), OneLine));
    EXPECT_EQ(bytes.substr(20), "UNZIP_7ZA;C:\\x.zip\r\n");
}

TEST(Journal, LinesKeepTheirOrderAndAppend) {
    TempFolder app;
    AppendDownloadJournal(app.Path(), "PRIMERA");
    AppendJournal(app.Path(), L"descargas.csv", "SEGUNDA;a;b;c");
    AppendDownloadJournal(app.Path(), "");

    const std::string bytes = TempFolder::ReadFile(app / L"actualizador_registros\\descargas.csv");
    ASSERT_EQ(bytes.size(), 3u * 22u + 7u + 13u);
    EXPECT_EQ(bytes.substr(20, 9), "PRIMERA\r\n");
    EXPECT_EQ(bytes.substr(49, 15), "SEGUNDA;a;b;c\r\n");
    EXPECT_EQ(bytes.substr(84), "\r\n");
    EXPECT_TRUE(std::regex_match(bytes.substr(29, 20), OneLine));
    EXPECT_LE(StampOf(bytes), StampOf(bytes.substr(64)));
}

TEST(Journal, AccentedPathIsWrittenAsItsLowByte) {
    TempFolder app;
    const std::wstring path = L"C:\\Jos\u00e9\\A\u00f1o\\mesalto.exe";
    AppendDownloadJournal(app.Path(), "COPIA_OK;" + NarrowLowByte(path) + "\n\x1A");
    const std::string bytes = TempFolder::ReadFile(app / L"actualizador_registros\\descargas.csv");
    // A control byte inside the text never breaks the line; every other byte unchanged.
    EXPECT_EQ(bytes.substr(20), "COPIA_OK;C:\\Jos\xE9\\A\xF1o\\mesalto.exe__\r\n");
}

TEST(Journal, LockedFileDropsTheLineSilently) {
    TempFolder app;
    AppendDownloadJournal(app.Path(), "ANTES");
    const std::wstring journal = app / L"actualizador_registros\\descargas.csv";
    const std::string before = TempFolder::ReadFile(journal);

    HANDLE exclusive = CreateFileW(journal.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    AppendDownloadJournal(app.Path(), "PERDIDA");
    CloseHandle(exclusive);

    AppendDownloadJournal(app.Path(), "DESPUES");
    const std::string after = TempFolder::ReadFile(journal);
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.size(), before.size() + 20u + 9u);
    EXPECT_EQ(after.find("PERDIDA"), std::string::npos);
}

TEST(Journal, RecordFolderThatIsAFileDropsTheLine) {
    TempFolder app;
    TempFolder::WriteFile(app / L"actualizador_registros", "no soy una carpeta");
    AppendDownloadJournal(app.Path(), "X");
    EXPECT_EQ(TempFolder::ReadFile(app / L"actualizador_registros"), "no soy una carpeta");
}

// The lock belongs to the file: a writer waits for it however the holder
// named the file, and after 2 s writes its line anyway.
TEST(Journal, LockHeldThroughAnotherSpellingIsWaitedForThenPassedOver) {
    TempFolder app;
    AppendDownloadJournal(app.Path(), "ANTES");
    const std::wstring otherSpelling = ShortSpelling(app.Path());
    ASSERT_FALSE(otherSpelling.empty());
    ASSERT_NE(otherSpelling, app.Path());
    HANDLE holder = CreateFileW((otherSpelling + L"\\actualizador_registros\\descargas.csv").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    OVERLAPPED region = {};
    region.Offset = static_cast<DWORD>(JournalLockOffset & 0xFFFFFFFFu);
    region.OffsetHigh = static_cast<DWORD>(JournalLockOffset >> 32);
    ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region));

    const ULONGLONG start = GetTickCount64();
    AppendDownloadJournal(app.Path(), "DESPUES");
    const ULONGLONG waited = GetTickCount64() - start;
    UnlockFileEx(holder, 0, 1, 0, &region);
    CloseHandle(holder);

    EXPECT_GE(waited, 1900u);
    const std::string bytes = TempFolder::ReadFile(app / L"actualizador_registros\\descargas.csv");
    ASSERT_EQ(bytes.size(), 2u * 20u + 7u + 9u);
    EXPECT_EQ(bytes.substr(20, 7), "ANTES\r\n");
    EXPECT_EQ(bytes.substr(47), "DESPUES\r\n");
}

namespace {

constexpr int LinesPerWriter = 1000;
constexpr wchar_t WriterVariable[] = L"TREVANTO_JOURNAL_WRITER";

void WriteNumberedLines(const std::wstring& folder, int writer) {
    for (int n = 0; n < LinesPerWriter; ++n)
        AppendDownloadJournal(folder, "HILO;" + std::to_string(writer) + ";" + std::to_string(n));
}

DWORD WINAPI WriterThread(LPVOID parameter) {
    const auto* args = static_cast<const std::pair<std::wstring, int>*>(parameter);
    WriteNumberedLines(args->first, args->second);
    return 0;
}

// Starts this test program again as a writer of numbered lines (see
// Journal.WriterProcess) and returns its process handle.
HANDLE StartWriterProcess(const std::wstring& folder, int writer) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(WriterVariable, (std::to_wstring(writer) + L"|" + folder).c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=Journal.WriterProcess";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &process);
    SetEnvironmentVariableW(WriterVariable, nullptr);
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

}  // namespace

// Only runs when started by Journal.ConcurrentWritersLoseNoLine.
TEST(Journal, WriterProcess) {
    wchar_t value[MAX_PATH + 16] = {};
    if (GetEnvironmentVariableW(WriterVariable, value, MAX_PATH + 16) == 0) GTEST_SKIP() << "not a writer";
    const std::wstring text = value;
    const size_t bar = text.find(L'|');
    ASSERT_NE(bar, std::wstring::npos);
    WriteNumberedLines(text.substr(bar + 1), std::stoi(text.substr(0, bar)));
}

// The window and worker threads, and a second agent in the same folder,
// append to one journal at once: every line must arrive whole, and none may
// be overwritten by another writer's line. Half of the writers name the
// folder by its short (8.3) name, as an agent started through another
// spelling of its folder does: the lock must hold for the file whatever
// names it.
TEST(Journal, ConcurrentWritersLoseNoLine) {
    TempFolder app;
    const std::wstring otherSpelling = ShortSpelling(app.Path());
    ASSERT_FALSE(otherSpelling.empty());
    ASSERT_NE(otherSpelling, app.Path());
    constexpr int Writers = 4;  // two threads here, two other processes
    std::pair<std::wstring, int> threadArgs[2] = {{app.Path(), 0}, {otherSpelling, 1}};
    HANDLE running[Writers] = {};
    for (int i = 0; i < 2; ++i) running[i] = CreateThread(nullptr, 0, WriterThread, &threadArgs[i], 0, nullptr);
    for (int i = 2; i < Writers; ++i) running[i] = StartWriterProcess(i == 2 ? app.Path() : otherSpelling, i);
    for (HANDLE handle : running) ASSERT_NE(handle, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(Writers, running, TRUE, 120000), WAIT_OBJECT_0);
    for (int i = 2; i < Writers; ++i) {
        DWORD exitCode = 1;
        GetExitCodeProcess(running[i], &exitCode);
        EXPECT_EQ(exitCode, 0u) << "writer process " << i;
    }
    for (HANDLE handle : running) CloseHandle(handle);

    const std::string bytes = TempFolder::ReadFile(app / L"actualizador_registros\\descargas.csv");
    int next[Writers] = {};
    int lines = 0;
    for (size_t start = 0; start < bytes.size(); ++lines) {
        const size_t end = bytes.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "unterminated tail at byte " << start;
        const std::string line = bytes.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(line.substr(0, 20), OneLine)) << line;
        int writer = -1, n = -1;
        char rest = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + 20, "HILO;%d;%d%c", &writer, &n, &rest), 2) << line;
        ASSERT_TRUE(writer >= 0 && writer < Writers) << line;
        ASSERT_EQ(n, next[writer]) << "writer " << writer << " lost a line";
        next[writer] = n + 1;
        start = end + 2;
    }
    EXPECT_EQ(lines, Writers * LinesPerWriter);
}
