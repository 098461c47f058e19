#include "app/catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// A presence test that answers from a fixed set of exe names.
PresenceTest Present(std::set<std::wstring> names) {
    return [names](const wchar_t* exe) { return names.count(exe) > 0; };
}

}  // namespace

TEST(Catalogue, RowsCarryTheirExactTexts) {
    ASSERT_EQ(ProductCatalogue.size(), 5u);
    const wchar_t* exes[] = {L"mesalto.exe", L"quindel.exe", L"olvo.exe", L"forjano.exe", L"tijeral.exe"};
    const char* keys[] = {"MarvekMesalto", "MarvekQuindel", "MarvekOlvo", "MarvekForjano", "MarvekTijerales"};
    const wchar_t* folders[] = {L"C:\\Marvek\\Marvek Mesalto", L"C:\\Marvek\\Marvek Quindel",
                                L"C:\\Marvek\\Marvek Olvo", L"C:\\Marvek\\Marvek Forjano",
                                L"C:\\Marvek\\MarvekTijeral"};
    for (int row = 0; row < 5; ++row) {
        EXPECT_STREQ(ProductCatalogue[row].exeName, exes[row]);
        EXPECT_EQ(std::wstring(ProductCatalogue[row].exeName).size(),
                  std::string(ProductCatalogue[row].exeNameNarrow).size());
        EXPECT_STREQ(ProductCatalogue[row].productKey, keys[row]);
        EXPECT_STREQ(ProductCatalogue[row].defaultFolder, folders[row]);
    }
    EXPECT_STREQ(ProductCatalogue[2].tileTitle, L"MARVEK VENDARA");
    EXPECT_STREQ(ProductCatalogue[2].tileImagePath, L"/wp-content/uploads/2025/11/vendara.png");
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
