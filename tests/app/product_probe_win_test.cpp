#include "app/product_probe.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "support/file_probe.h"
#include "support/temp_folder.h"

TEST(ProductProbe, UpdateOrderPrefersTijeralStartupOrderMesalto) {
    TempFolder folder;
    TempFolder::WriteFile(folder / L"mesalto.exe", "MZ");
    TempFolder::WriteFile(folder / L"tijeral.exe", "MZ");
    EXPECT_EQ(FindProductExeForUpdate(folder.Path()), L"tijeral.exe");
    EXPECT_EQ(FindProductRow(folder.Path(), StartupOrder), 0);
}

TEST(ProductProbe, DirectoryNamedLikeAnExecutableIsNotPresent) {
    TempFolder folder;
    CreateDirectoryW((folder / L"forjano.exe").c_str(), nullptr);
    EXPECT_EQ(FindProductExeForUpdate(folder.Path()), L"");
    EXPECT_EQ(FindProductRow(folder.Path(), StartupOrder), -1);
    EXPECT_FALSE(IsExistingFile(folder / L"forjano.exe"));

    TempFolder::WriteFile(folder / L"quindel.exe", "");
    EXPECT_EQ(FindProductExeForUpdate(folder.Path()), L"quindel.exe");
    EXPECT_EQ(FindProductRow(folder.Path(), StartupOrder), 1);
}

TEST(ProductProbe, NamesMatchWithoutRegardToCase) {
    TempFolder folder;
    TempFolder::WriteFile(folder / L"OLVO.EXE", "MZ");
    EXPECT_EQ(FindProductExeForUpdate(folder.Path()), L"olvo.exe");
}

TEST(ProductProbe, MissingFolderHasNoProduct) {
    TempFolder folder;
    EXPECT_EQ(FindProductExeForUpdate(folder / L"no_existe"), L"");
    EXPECT_FALSE(IsExistingFile(folder / L"no_existe\\mesalto.exe"));
}
