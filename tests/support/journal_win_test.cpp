#include "support/journal.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "support/temp_folder.h"
#include "support/text.h"

namespace {

const std::regex OneLine(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2};)");

std::string StampOf(const std::string& line) {
    return line.substr(0, 19);
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
    AppendDownloadJournal(app.Path(), "COPIA_OK;" + NarrowLowByte(path));
    const std::string bytes = TempFolder::ReadFile(app / L"actualizador_registros\\descargas.csv");
    EXPECT_EQ(bytes.substr(20), "COPIA_OK;C:\\Jos\xE9\\A\xF1o\\mesalto.exe\r\n");
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
