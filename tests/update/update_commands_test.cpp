#include "update/update_commands.h"

#include <gtest/gtest.h>

#include "housekeeping/archiving_text.h"

TEST(UpdateCommands, ExtractionAndTaskkill) {
    EXPECT_EQ(SevenZipExtractCommand(L"C:\\P Q\\7za.exe", L"C:\\P Q\\p.zip", L"C:\\P Q\\p"),
              L"\"C:\\P Q\\7za.exe\" x \"C:\\P Q\\p.zip\" -o\"C:\\P Q\\p\" -y");
    EXPECT_EQ(TaskkillCommand(L"mesalto.exe"), L"taskkill /F /IM \"mesalto.exe\"");
    EXPECT_EQ(RegistrationScriptParameters(L"C:\\P Q\\registro.bat"), L"/c \"\"C:\\P Q\\registro.bat\"\"");
}

TEST(UpdateCommands, PowerShellPathsKeepTheirQuotes) {
    EXPECT_EQ(ZipFolderCommand(L"C:\\ps.exe", L"C:\\A B\\260305_090741", L"C:\\A B\\260305_090741.zip"),
              L"\"C:\\ps.exe\" -NoProfile -NonInteractive -Command \"Compress-Archive -Path "
              L"'C:\\A B\\260305_090741\\*' -DestinationPath 'C:\\A B\\260305_090741.zip' -Force\"");
    EXPECT_EQ(ExpandArchiveCommand(L"C:\\ps.exe", L"C:\\S\\marvekserver.zip", L"C:\\S"),
              L"\"C:\\ps.exe\" -NoProfile -NonInteractive -Command \"Expand-Archive -LiteralPath "
              L"'C:\\S\\marvekserver.zip' -DestinationPath 'C:\\S' -Force\"");
}

// "$" and "`" stay plain inside single quotes, a quote is doubled (the
// typographic ones too), and -Path gets [ ] and ` escaped as wildcards.
TEST(UpdateCommands, PowerShellPathsWithSpecialCharactersStayLiteral) {
    const std::wstring folder = L"C:\\Mesalto [2] $x `y\\O'Neil \u2019s  dos";
    EXPECT_EQ(ZipFolderCommand(L"C:\\ps.exe", folder, folder + L".zip"),
              L"\"C:\\ps.exe\" -NoProfile -NonInteractive -Command \"Compress-Archive -Path "
              L"'C:\\Mesalto `[2`] $x ``y\\O''Neil \u2019\u2019s  dos\\*' "
              L"-DestinationPath 'C:\\Mesalto [2] $x `y\\O''Neil \u2019\u2019s  dos.zip' -Force\"");
    EXPECT_EQ(ExpandArchiveCommand(L"C:\\ps.exe", L"C:\\[a]\\$s.zip", L"C:\\\u2018a\u201a\u201b"),
              L"\"C:\\ps.exe\" -NoProfile -NonInteractive -Command \"Expand-Archive -LiteralPath "
              L"'C:\\[a]\\$s.zip' -DestinationPath 'C:\\\u2018\u2018a\u201a\u201a\u201b\u201b' -Force\"");
}

TEST(ArchivingText, StartupAndCloseCommands) {
    EXPECT_EQ(StartupArchiveCommand(L"C:\\P\\actualizaciones\\A", L"C:\\P\\actualizaciones\\A.zip"),
              L"powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Compress-Archive -Path "
              L"'C:\\P\\actualizaciones\\A\\*' -DestinationPath 'C:\\P\\actualizaciones\\A.zip' -Force\"");
    EXPECT_EQ(StartupArchiveCommand(L"C:\\Mesalto [2] $x\\actualizaciones\\O'B [1]",
                                    L"C:\\Mesalto [2] $x\\actualizaciones\\O'B [1].zip"),
              L"powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Compress-Archive -Path "
              L"'C:\\Mesalto `[2`] $x\\actualizaciones\\O''B `[1`]\\*' "
              L"-DestinationPath 'C:\\Mesalto [2] $x\\actualizaciones\\O''B [1].zip' -Force\"");
    EXPECT_EQ(CloseArchiveCommand(L"C:\\ps.exe", L"C:\\v\\x.exe", L"C:\\v\\x.zip"),
              L"\"C:\\ps.exe\" -NoProfile -NonInteractive -Command \"Compress-Archive -LiteralPath 'C:\\v\\x.exe' "
              L"-DestinationPath 'C:\\v\\x.zip' -Force\"");
    EXPECT_EQ(CloseArchiveCommand(L"C:\\ps.exe", L"C:\\M [2] $x\\v\\a'b.exe", L"C:\\M [2] $x\\v\\a'b.zip"),
              L"\"C:\\ps.exe\" -NoProfile -NonInteractive -Command \"Compress-Archive -LiteralPath "
              L"'C:\\M [2] $x\\v\\a''b.exe' -DestinationPath 'C:\\M [2] $x\\v\\a''b.zip' -Force\"");
    EXPECT_EQ(VersionStampText(2026, 3, 5, 9, 7, 41), L"260305_090741_trevanto");
}
