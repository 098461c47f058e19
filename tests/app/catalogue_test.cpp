#include "app/catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "service/descriptor_text.h"

namespace {

// A presence test that answers from a fixed set of exe names.
PresenceTest Present(std::set<std::wstring> names) {
    return [names](const wchar_t* exe) { return names.count(exe) > 0; };
}

}  // namespace

TEST(Catalogue, RowsCarryTheirExactTexts) {
    struct Row {
        const wchar_t* exe;
        const char* exeNarrow;
        const char* key;
        const wchar_t* display;
        const wchar_t* title;
        const wchar_t* image;
        const wchar_t* folder;
        const char* settings;
    };
    const Row rows[] = {
        {L"mesalto.exe", "mesalto.exe", "MarvekMesalto", L"Mesalto", L"MARVEK MESALTO",
         L"/wp-content/uploads/2025/11/mesalto.png", L"C:\\Marvek\\Marvek Mesalto",
         "SOFTWARE\\VB and VBA Program Settings\\Marvek Mesalto\\Opciones"},
        {L"quindel.exe", "quindel.exe", "MarvekQuindel", L"Quindel", L"MARVEK QUINDEL",
         L"/wp-content/uploads/2025/11/quindel.png", L"C:\\Marvek\\Marvek Quindel",
         "SOFTWARE\\VB and VBA Program Settings\\Marvek Quindel\\Opciones"},
        {L"olvo.exe", "olvo.exe", "MarvekOlvo", L"Olvo", L"MARVEK VENDARA", L"/wp-content/uploads/2025/11/vendara.png",
         L"C:\\Marvek\\Marvek Olvo", "SOFTWARE\\VB and VBA Program Settings\\Marvek Olvo\\Opciones"},
        {L"forjano.exe", "forjano.exe", "MarvekForjano", L"Forjano", L"MARVEK FORJANO",
         L"/wp-content/uploads/2025/11/forjano.png", L"C:\\Marvek\\Marvek Forjano",
         "SOFTWARE\\VB and VBA Program Settings\\Marvek Forjano\\Opciones"},
        {L"tijeral.exe", "tijeral.exe", "MarvekTijerales", L"Tijeral", L"MARVEK TIJERAL",
         L"/wp-content/uploads/2025/11/tijeral.png", L"C:\\Marvek\\MarvekTijeral",
         "SOFTWARE\\VB and VBA Program Settings\\Marvek Tijerales\\Opciones"},
    };
    ASSERT_EQ(ProductCatalogue.size(), 5u);
    for (int row = 0; row < 5; ++row) {
        const ProductEntry& entry = ProductCatalogue[row];
        EXPECT_STREQ(entry.exeName, rows[row].exe) << row;
        EXPECT_STREQ(entry.exeNameNarrow, rows[row].exeNarrow) << row;
        EXPECT_STREQ(entry.productKey, rows[row].key) << row;
        EXPECT_STREQ(entry.displayName, rows[row].display) << row;
        EXPECT_STREQ(entry.tileTitle, rows[row].title) << row;
        EXPECT_STREQ(entry.tileImagePath, rows[row].image) << row;
        EXPECT_STREQ(entry.defaultFolder, rows[row].folder) << row;
        EXPECT_EQ(SettingsKeyForExe(entry.exeNameNarrow), rows[row].settings) << row;
    }
}

TEST(Catalogue, DisplayNameForKeyIsExactAndCaseSensitive) {
    EXPECT_EQ(DisplayNameForKey("MarvekTijerales"), L"Tijeral");
    EXPECT_EQ(DisplayNameForKey("MarvekMesalto"), L"Mesalto");
    EXPECT_EQ(DisplayNameForKey("MarvekOlvo"), L"Olvo");
    EXPECT_EQ(DisplayNameForKey("marvekolvo"), L"(no detectado)");
    EXPECT_EQ(DisplayNameForKey("MarvekTijeral"), L"(no detectado)");
    EXPECT_EQ(DisplayNameForKey(""), L"(no detectado)");
    EXPECT_EQ(DisplayNameForKey(std::string("MarvekOlvo\0x", 12)), L"(no detectado)");
}

TEST(Catalogue, FooterTextSkipsLookupForEmptyKey) {
    EXPECT_EQ(ProgramFooterText(""), L"programa: (no detectado)");
    EXPECT_EQ(ProgramFooterText("MarvekForjano"), L"programa: Forjano");
    EXPECT_EQ(ProgramFooterText("Otro"), L"programa: (no detectado)");
}

TEST(Catalogue, ProbeOrdersPickDifferentRowsInOneFolder) {
    const PresenceTest both = Present({L"mesalto.exe", L"tijeral.exe"});
    EXPECT_EQ(FirstPresentRow(StartupOrder, both), 0);
    EXPECT_EQ(FirstPresentRow(UpdateOrder, both), 4);
    EXPECT_EQ(FirstPresentRow(StartupOrder, Present({L"olvo.exe", L"forjano.exe"})), 2);
    EXPECT_EQ(FirstPresentRow(UpdateOrder, Present({L"olvo.exe", L"forjano.exe"})), 3);
    EXPECT_EQ(FirstPresentRow(StartupOrder, Present({})), -1);
}

TEST(Catalogue, ProbeStopsAtFirstPresentName) {
    std::wstring asked;
    const PresenceTest recordAll = [&asked](const wchar_t* exe) {
        asked += std::wstring(exe) + L",";
        return std::wstring(exe) == L"quindel.exe";
    };
    EXPECT_EQ(FirstPresentRow(StartupOrder, recordAll), 1);
    EXPECT_EQ(asked, L"mesalto.exe,quindel.exe,");
}

TEST(Catalogue, TileTableFollowsTileOrder) {
    const std::vector<TileRecord> tiles = BuildTileTable(L"imagenes.example");
    ASSERT_EQ(tiles.size(), 5u);
    const wchar_t* titles[] = {L"MARVEK FORJANO", L"MARVEK MESALTO", L"MARVEK QUINDEL", L"MARVEK VENDARA",
                               L"MARVEK TIJERAL"};
    const int rows[] = {3, 0, 1, 2, 4};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(tiles[i].title, titles[i]);
        EXPECT_EQ(tiles[i].catalogueRow, rows[i]);
        EXPECT_EQ(tiles[i].picture, nullptr);
        EXPECT_EQ(tiles[i].rect.right, 0);
    }
    EXPECT_EQ(tiles[0].imageUrl, L"https://imagenes.example/wp-content/uploads/2025/11/forjano.png");
    EXPECT_EQ(tiles[3].imageUrl, L"https://imagenes.example/wp-content/uploads/2025/11/vendara.png");
    EXPECT_STREQ(ProductCatalogue[tiles[4].catalogueRow].defaultFolder, L"C:\\Marvek\\MarvekTijeral");
}
