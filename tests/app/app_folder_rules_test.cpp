#include "app/app_folder_rules.h"

#include <gtest/gtest.h>

#include <string>

TEST(EntryFolder, CutsBeforeLastBackslash) {
    const std::wstring path = L"C:\\Marvek\\Marvek Mesalto\\trevanto.exe";
    EXPECT_EQ(EntryFolderFromModulePath(path.c_str(), (unsigned)path.size()), L"C:\\Marvek\\Marvek Mesalto");
}

TEST(EntryFolder, EmptyWhenCallFailedOrNameWasCut) {
    const std::wstring path = L"C:\\a\\b.exe";
    EXPECT_EQ(EntryFolderFromModulePath(path.c_str(), 0), L"");
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'x') + L"\\t.exe";
    EXPECT_EQ(EntryFolderFromModulePath(longPath.c_str(), 260), L"");
    EXPECT_EQ(EntryFolderFromModulePath(longPath.c_str(), 259), L"C:");
}

TEST(EntryFolder, ForwardSlashAloneGivesNoFolder) {
    const std::wstring path = L"C:/dir/trevanto.exe";
    EXPECT_EQ(EntryFolderFromModulePath(path.c_str(), (unsigned)path.size()), L"");
    const std::wstring mixed = L"C:\\dir/sub/trevanto.exe";
    EXPECT_EQ(EntryFolderFromModulePath(mixed.c_str(), (unsigned)mixed.size()), L"C:");
}

TEST(AppFolder, CutsAtEitherSeparatorOrKeepsWholePath) {
    EXPECT_EQ(AppFolderFromModulePath(L"C:\\dir\\trevanto.exe"), L"C:\\dir");
    EXPECT_EQ(AppFolderFromModulePath(L"C:\\dir/sub/trevanto.exe"), L"C:\\dir/sub");
    EXPECT_EQ(AppFolderFromModulePath(L"trevanto.exe"), L"trevanto.exe");
    EXPECT_EQ(AppFolderFromModulePath(L"\\trevanto.exe"), L"");
}

TEST(AppFolder, JoinPutsOneBackslash) {
    EXPECT_EQ(JoinPath(L"C:\\dir", L"7za.exe"), L"C:\\dir\\7za.exe");
}
