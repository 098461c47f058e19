#include "app/app_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

TEST(AppFolderWin, IsTheTestExecutablesFolder) {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    const std::wstring path(module);
    const std::wstring expected = path.substr(0, path.rfind(L'\\'));
    EXPECT_EQ(GetAppFolder(), expected);
    EXPECT_EQ(GetEntryFolder(), expected);
    EXPECT_NE(GetAppFolder().back(), L'\\');
}
