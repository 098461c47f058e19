#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "housekeeping/startup_archiving.h"
#include "support/file_probe.h"
#include "support/temp_folder.h"
#include "update/executable_replacement.h"
#include "update/package_files.h"
#include "update/registration_script.h"
#include "update/server_component.h"
#include "update/zip_installation.h"

namespace {

std::string JournalOf(const TempFolder& app) {
    return TempFolder::ReadFile(app / L"actualizador_registros\\descargas.csv");
}

}  // namespace

TEST(PackageFiles, MzSignatureLooksAtTwoBytesOnly) {
    TempFolder folder;
    TempFolder::WriteFile(folder / L"corto.exe", "MZ");
    TempFolder::WriteFile(folder / L"vacio.exe", "");
    TempFolder::WriteFile(folder / L"texto.exe", "ZM esto no");
    EXPECT_TRUE(HasProgramSignature(folder / L"corto.exe"));
    EXPECT_FALSE(HasProgramSignature(folder / L"vacio.exe"));
    EXPECT_FALSE(HasProgramSignature(folder / L"texto.exe"));
    EXPECT_FALSE(HasProgramSignature(folder / L"no_existe.exe"));

    // A file that cannot be read is told apart from one that is no program.
    bool isProgram = true;
    unsigned long error = 0;
    EXPECT_TRUE(ReadProgramSignature(folder / L"texto.exe", isProgram, error));
    EXPECT_FALSE(isProgram);
    EXPECT_EQ(error, 0u);
    EXPECT_FALSE(ReadProgramSignature(folder / L"no_existe.exe", isProgram, error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    HANDLE held = CreateFileW((folder / L"corto.exe").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadProgramSignature(folder / L"corto.exe", isProgram, error));
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(isProgram);
    CloseHandle(held);
}

TEST(PackageFiles, SaveWritesEveryByteAndLeavesNothingBeside) {
    TempFolder folder;
    const std::vector<unsigned char> bytes = {'M', 'Z', 0, 1, 2, 255};
    TempFolder::WriteFile(folder / L"p.exe", "anterior, mas largo que el nuevo");
    EXPECT_TRUE(SaveBytesToFile(folder / L"p.exe", bytes));
    EXPECT_EQ(TempFolder::ReadFile(folder / L"p.exe"), std::string("MZ\0\1\2\xff", 6));
    EXPECT_FALSE(TempFolder::Exists(folder / L"p.exe.parcial"));
    EXPECT_FALSE(SaveBytesToFile(folder / L"falta\\p.exe", bytes));
    EXPECT_EQ(GetLastError(), 3u);
}

TEST(PackageFiles, SaveNeverTruncatesAFileItCannotReplace) {
    // A file held open sharing reading and writing but not deletion can be
    // truncated and rewritten in place, but not replaced.
    TempFolder folder;
    TempFolder::WriteFile(folder / L"mesalto.exe", "programa anterior");
    HANDLE held = CreateFileW((folder / L"mesalto.exe").c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SaveBytesToFile(folder / L"mesalto.exe", {'M', 'Z', 'n', 'u', 'e', 'v', 'o'}));
    const DWORD error = GetLastError();
    CloseHandle(held);
    EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << error;
    EXPECT_EQ(TempFolder::ReadFile(folder / L"mesalto.exe"), "programa anterior");
    EXPECT_FALSE(TempFolder::Exists(folder / L"mesalto.exe.parcial"));
}

TEST(ExecutableReplacement, SetAsideReplacesALeftoverAndJournals) {
    TempFolder app;
    TempFolder::WriteFile(app / L"mesalto.exe", "nuevo");
    TempFolder::WriteFile(app / L"mesalto2.exe", "resto");
    SetFileAttributesW((app / L"mesalto2.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    // The set-aside is a copy: the program keeps its name until the new
    // executable (unpacked, or the stored package) replaces it in one rename.
    EXPECT_TRUE(SetAsideExecutable(app.Path(), app / L"mesalto.exe", L"mesalto", SetAsideVariant::ZipPackage));
    EXPECT_EQ(TempFolder::ReadFile(app / L"mesalto2.exe"), "nuevo");
    EXPECT_EQ(TempFolder::ReadFile(app / L"mesalto.exe"), "nuevo");
    const std::string journal = JournalOf(app);
    EXPECT_NE(journal.find(";RENOMBRADO_A_2_ZIP;"), std::string::npos);
    EXPECT_NE(journal.find("mesalto.exe;->;"), std::string::npos);
    TempFolder::WriteFile(app / L"mesalto.exe", "otro");
    EXPECT_TRUE(SetAsideExecutable(app.Path(), app / L"mesalto.exe", L"mesalto", SetAsideVariant::ExecutablePackage));
    EXPECT_EQ(TempFolder::ReadFile(app / L"mesalto2.exe"), "otro");
    EXPECT_EQ(TempFolder::ReadFile(app / L"mesalto.exe"), "otro");
    EXPECT_NE(JournalOf(app).find(";RENOMBRADO_A_2;"), std::string::npos);

    EXPECT_FALSE(SetAsideExecutable(app.Path(), app / L"falta.exe", L"falta", SetAsideVariant::ExecutablePackage));
    EXPECT_NE(JournalOf(app).find(";ERROR_RENOMBRAR_A_2;"), std::string::npos);
    EXPECT_NE(JournalOf(app).find("falta.exe;err=2\r\n"), std::string::npos);
}

TEST(ExecutableReplacement, MoveWithRetryReplacesAndReportsALockedSource) {
    TempFolder folder;
    TempFolder::WriteFile(folder / L"a.exe", "A");
    TempFolder::WriteFile(folder / L"b.exe", "B");
    SetFileAttributesW((folder / L"b.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(MoveFileWithRetry(folder / L"a.exe", folder / L"b.exe"));
    EXPECT_EQ(TempFolder::ReadFile(folder / L"b.exe"), "A");
    EXPECT_FALSE(TempFolder::Exists(folder / L"a.exe"));

    // A source held open (readable, not deletable): copied, but reported as a failure.
    TempFolder::WriteFile(folder / L"c.exe", "C");
    HANDLE held = CreateFileW((folder / L"c.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MoveFileWithRetry(folder / L"c.exe", folder / L"d.exe"));
    CloseHandle(held);
    EXPECT_EQ(TempFolder::ReadFile(folder / L"d.exe"), "C");
    EXPECT_TRUE(TempFolder::Exists(folder / L"c.exe"));
}

TEST(ExecutableReplacement, CopyByPatternSkipsFoldersAndJournalsEmptyPatterns) {
    TempFolder app;
    TempFolder destination;
    TempFolder::WriteFile(app / L"UNO.MDB", "1");
    TempFolder::WriteFile(app / L"dos.mdb", "2");
    CreateDirectoryW((app / L"datos.mdb").c_str(), nullptr);
    EXPECT_EQ(CopyFilesByPattern(app.Path(), L"*.MDB", destination.Path(), app.Path()), 2);
    EXPECT_EQ(TempFolder::ReadFile(destination / L"dos.mdb"), "2");
    EXPECT_FALSE(TempFolder::Exists(destination / L"datos.mdb"));

    EXPECT_EQ(CopyFilesByPattern(app.Path(), L"*.BDMARV", destination.Path(), app.Path()), 0);
    const std::string journal = JournalOf(app);
    EXPECT_NE(journal.find(";COPIA_PATRON_SIN_RESULTADOS;*.BDMARV;src="), std::string::npos);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 3);
}

TEST(ZipInstallation, CollectsExecutablesDepthFirstAndTellsEmptyFolders) {
    TempFolder folder;
    CreateDirectoryW((folder / L"bin").c_str(), nullptr);
    TempFolder::WriteFile(folder / L"bin\\Mesalto.EXE", "MZ");
    TempFolder::WriteFile(folder / L"leeme.exe.txt", "");
    TempFolder::WriteFile(folder / L"exe", "");
    const std::vector<std::wstring> found = CollectExecutables(folder.Path());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], folder / L"bin\\Mesalto.EXE");
    EXPECT_FALSE(IsFolderEmpty(folder.Path()));
    CreateDirectoryW((folder / L"vacia").c_str(), nullptr);
    EXPECT_TRUE(IsFolderEmpty(folder / L"vacia"));
    EXPECT_TRUE(IsFolderEmpty(folder / L"no_existe"));
}

TEST(ZipInstallation, ScriptAndServerArchiveAreFoundByName) {
    TempFolder folder;
    CreateDirectoryW((folder / L"sub").c_str(), nullptr);
    TempFolder::WriteFile(folder / L"registro.bat.txt", "");
    TempFolder::WriteFile(folder / L"sub\\Registro.BAT", "");
    TempFolder::WriteFile(folder / L"sub\\old_MarvekServer.ZIP", "");
    std::wstring path;
    ASSERT_TRUE(FindRegistrationScript(folder.Path(), path));
    EXPECT_EQ(path, folder / L"sub\\Registro.BAT");
    ASSERT_TRUE(FindFileBySuffix(folder.Path(), L"marvekserver.zip", path));
    EXPECT_EQ(path, folder / L"sub\\old_MarvekServer.ZIP");
    EXPECT_FALSE(FindRegistrationScript(folder / L"no_existe", path));
}

// A package is unpacked into a folder made for it: a folder that shares its
// name (the customer's, an earlier package's) is neither emptied nor used,
// and a failed extraction removes only the package and the folder it made.
TEST(ZipInstallation, NeverUnpacksIntoNorEmptiesAFolderItDidNotMake) {
    TempFolder app;
    TempFolder::WriteFile(app / L"Datos.zip", "PK");
    CreateDirectoryW((app / L"Datos").c_str(), nullptr);
    TempFolder::WriteFile(app / L"Datos\CLIENTES.MDB", "clientes");
    CreateDirectoryW((app / L"Datos_2").c_str(), nullptr);
    const ZipBranchOutcome outcome = InstallZipPackage(app.Path(), app / L"Datos.zip");  // no 7za.exe here

    EXPECT_FALSE(outcome.extracted);
    EXPECT_EQ(outcome.extractionCode, 2u);
    EXPECT_EQ(TempFolder::ReadFile(app / L"Datos\CLIENTES.MDB"), "clientes");
    EXPECT_TRUE(TempFolder::Exists(app / L"Datos_2"));
    EXPECT_FALSE(TempFolder::Exists(app / L"Datos_3"));
    EXPECT_FALSE(TempFolder::Exists(app / L"Datos.zip"));
    const std::string narrowApp(app.Path().begin(), app.Path().end());
    const std::string journal = JournalOf(app);
    for (const std::string& line : {"CARPETA_EXTRACCION_OCUPADA;" + narrowApp + "\\Datos;->;" + narrowApp + "\\Datos_3",
                                    "LIMPIEZA_OK;ZIP_ELIMINADO;" + narrowApp + "\\Datos.zip",
                                    "LIMPIEZA_OK;CARPETA_EXTRACCION_ELIMINADA;" + narrowApp + "\\Datos_3"}) {
        EXPECT_NE(journal.find(";" + line + "\r\n"), std::string::npos) << line;
    }
    EXPECT_NE(TempFolder::ReadFile(app / L"actualizador_registros\\extracciones.csv")
                  .find(";UNZIP_7ZA;" + narrowApp + "\\Datos.zip;->;" + narrowApp + "\\Datos_3;ERROR;ec=2\r\n"),
              std::string::npos);
}

TEST(StartupArchiving, DeletesTreesWithReadOnlyFiles) {
    TempFolder folder;
    const std::wstring tree = folder / L"260305_090741";
    CreateDirectoryW(tree.c_str(), nullptr);
    CreateDirectoryW((tree + L"\\sub").c_str(), nullptr);
    TempFolder::WriteFile(tree + L"\\sub\\fijo.MDB", "x");
    SetFileAttributesW((tree + L"\\sub\\fijo.MDB").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(tree.c_str(), FILE_ATTRIBUTE_READONLY);
    TempFolder::WriteFile(folder / L"C.zip", "z");

    const std::vector<std::wstring> subfolders = ListSubfolders(folder.Path());
    ASSERT_EQ(subfolders.size(), 1u);
    EXPECT_EQ(subfolders[0], tree);
    EXPECT_TRUE(DeleteFolderTree(tree));
    EXPECT_FALSE(TempFolder::Exists(tree));
    EXPECT_TRUE(TempFolder::Exists(folder / L"C.zip"));
    EXPECT_TRUE(DeleteFolderTree(folder / L"no_existe"));
}
