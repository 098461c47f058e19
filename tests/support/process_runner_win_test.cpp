#include "support/process_runner.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "support/temp_folder.h"

namespace {

std::wstring Cmd() {
    wchar_t buffer[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%\\System32\\cmd.exe", buffer, MAX_PATH);
    return buffer;
}

}  // namespace

TEST(RunHidden, ReturnsExitCodeZeroAndOne) {
    unsigned long code = 77;
    EXPECT_TRUE(RunHidden(Cmd() + L" /c exit 0", code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(RunHidden(Cmd() + L" /c exit 1", code));
    EXPECT_EQ(code, 1u);
}

TEST(RunHidden, ExpectZeroRejectsOtherCodes) {
    unsigned long code = 77;
    EXPECT_TRUE(RunHiddenExpectZero(Cmd() + L" /c exit 0", code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(RunHiddenExpectZero(Cmd() + L" /c exit 1", code));
    EXPECT_EQ(code, 1u);
    EXPECT_FALSE(RunHiddenExpectZero(Cmd() + L" /c exit 259", code));
    EXPECT_EQ(code, 259u);
}

TEST(RunHidden, MissingProgramGivesErrorCode) {
    TempFolder folder;
    unsigned long code = 0;
    EXPECT_FALSE(RunHidden(L"\"" + (folder / L"no_existe.exe") + L"\" /x", code));
    EXPECT_EQ(code, 2u);
    // Windows says 3 (path not found) for a missing folder; Wine says 2.
    EXPECT_FALSE(RunHiddenExpectZero(L"\"" + (folder / L"falta\\no_existe.exe") + L"\"", code));
    EXPECT_TRUE(code == 2u || code == 3u) << code;
}

TEST(RunHidden, EmptyCommandLineFails) {
    unsigned long code = 0;
    EXPECT_FALSE(RunHidden(L"", code));
    EXPECT_NE(code, 0u);
}

TEST(RunHidden, ChildSeesTheCommandLineUnchanged) {
    TempFolder folder;
    const std::wstring out = folder / L"salida.txt";
    unsigned long code = 9;
    ASSERT_TRUE(RunHidden(Cmd() + L" /c echo uno;dos>\"" + out + L"\"", code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(TempFolder::ReadFile(out), "uno;dos\r\n");
}

TEST(RunElevatedCmd, RunsThroughRunasAndReturnsExitCode) {
    unsigned long code = 0;
    EXPECT_TRUE(RunElevatedCmd(L"exit 7", code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(RunElevatedCmd(L"exit 0", code));
    EXPECT_EQ(code, 0u);
}

TEST(RunElevatedCmd, CommandReachesCmdAfterSlashC) {
    TempFolder folder;
    const std::wstring out = folder / L"elevado.txt";
    unsigned long code = 5;
    ASSERT_TRUE(RunElevatedCmd(L"echo elevado>\"" + out + L"\"", code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(TempFolder::ReadFile(out), "elevado\r\n");
}
