#include "update/package_naming.h"

#include <gtest/gtest.h>

TEST(PackageFileName, QueryFragmentAndFolders) {
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/parches/mesalto.exe?v=3#top"), L"mesalto.exe");
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/p/x.zip#a?b"), L"x.zip");
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/descargas/"), L"descarga.bin");
    EXPECT_EQ(PackageFileNameFromUrl(""), L"descarga.bin");
    EXPECT_EQ(PackageFileNameFromUrl("?solo=consulta"), L"descarga.bin");
    EXPECT_EQ(PackageFileNameFromUrl("paquete.zip"), L"paquete.zip");
}

TEST(PackageFileName, UnsafeBytesBecomeUnderscores) {
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/a%20b.zip"), L"a%20b.zip");
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/a\xc3\xb1o.exe"), L"a__o.exe");
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/dir\\sub.exe"), L"dir_sub.exe");
    EXPECT_EQ(PackageFileNameFromUrl("https://d.example/a<b>c:d\"e|f*g.exe"), L"a_b_c_d_e_f_g.exe");
    EXPECT_EQ(PackageFileNameFromUrl(std::string("https://d.example/t\x01\x7f.exe")), L"t_\x7f.exe");
}

TEST(StripExtension, OnlyAfterTheLastSeparator) {
    EXPECT_EQ(StripExtension(L"C:\\Apps\\x.old\\paquete"), L"C:\\Apps\\x.old\\paquete");
    EXPECT_EQ(StripExtension(L"C:\\Apps\\mesalto.exe"), L"C:\\Apps\\mesalto");
    EXPECT_EQ(StripExtension(L"setup.exe.zip"), L"setup.exe");
    EXPECT_EQ(StripExtension(L"sin_extension"), L"sin_extension");
    EXPECT_EQ(StripExtension(L"C:/a.b/c"), L"C:/a.b/c");
}

TEST(PackageKind, ZipAndExecutableByNameOnly) {
    EXPECT_TRUE(HasZipExtension(L"C:\\A\\p.ZIP"));
    EXPECT_TRUE(HasZipExtension(L"setup.exe.zip"));
    EXPECT_FALSE(HasZipExtension(L"C:\\Apps\\x.old\\paquete"));
    EXPECT_FALSE(HasZipExtension(L"p.zipx"));
    EXPECT_FALSE(HasZipExtension(L"zip"));
    EXPECT_TRUE(IsExecutablePackageName(L"MESALTO.EXE"));
    EXPECT_TRUE(IsExecutablePackageName(L".exe"));
    EXPECT_FALSE(IsExecutablePackageName(L"setup.exe.zip"));
    EXPECT_FALSE(IsExecutablePackageName(L"exe"));
    EXPECT_FALSE(IsExecutablePackageName(L"notas.pdf"));
}

TEST(PackageNaming, StampsAndFolders) {
    EXPECT_EQ(BackupStampText(2026, 3, 5, 9, 7, 41), L"260305_090741");
    EXPECT_EQ(BackupStampText(2030, 1, 1, 0, 0, 5), L"300101_000005");
    EXPECT_EQ(ParentFolder(L"C:\\Marvek\\Marvek Mesalto"), L"C:\\Marvek");
    EXPECT_EQ(ParentFolder(L"C:\\Mesalto"), L"C:");
    EXPECT_EQ(ParentFolder(L"C:\\Mesalto\\"), L"C:");
    EXPECT_EQ(ParentFolder(L"\\Mesalto"), L"");
    EXPECT_EQ(ParentFolder(L"Mesalto"), L"");
    EXPECT_EQ(ParentFolder(L""), L"");
    EXPECT_EQ(NameAfterLastSeparator(L"C:\\a/b\\Mesalto.EXE"), L"Mesalto.EXE");
    EXPECT_TRUE(EndsWithIgnoringCase(L"old_MarvekServer.ZIP", L"marvekserver.zip"));
    EXPECT_FALSE(EndsWithIgnoringCase(L"zip", L"marvekserver.zip"));
}

TEST(PackageNaming, NamesWindowsWouldAlterAndAgentFoldersAreRefused) {
    struct Row {
        const wchar_t* name;
        bool usable;
    };
    const Row rows[] = {
        {L"mesalto.exe", true},    {L"mesalto_v6.zip", true}, {L"a.zip", true},         {L"descarga.bin", true},
        {L"sin_extension", true},  {L"a..zip", true},         {L".a.zip", true},        {L"a b.exe", true},
        {L"", false},              {L"...zip", false},        {L"..zip", false},        {L".zip", false},
        {L".exe", false},          {L". .zip", false},        {L"  .zip", false},       {L"mesalto.exe.", false},
        {L"mesalto.exe ", false},  {L"mesalto.exe. ", false}, {L"...", false},          {L".", false},
        {L" ", false},             {L"zip.", false},
        // ZIP packages that would unpack into the agent's own folders.
        {L"actualizador_registros.zip", false}, {L"Actualizador_Registros.ZIP", false},
        {L"actualizaciones.zip", false},        {L"ACTUALIZACIONES.Zip", false},
        {L"versiones.zip", false},              {L"Versiones.zip", false},
        {L"versiones..zip", false},             {L"versiones .zip", false},
        {L"actualizaciones.exe", true},         {L"versiones.bin", true},
        {L"versiones_6.zip", true},             {L"mis versiones.zip", true},
        {L"actualizaciones.zip.zip", true},
        // Device names, with any extension.
        {L"nul.zip", false},                    {L"CON.exe", false},
        {L"com1.bin", false},                   {L"Lpt9", false},
        {L"aux .txt", false},                   {L"com10.zip", true},
        {L"consola.exe", true},                 {L"lpt.exe", true},
        // The agent's own files, of any kind and in any letter case.
        {L"trevanto.exe", false},               {L"TREVANTO.EXE", false},
        {L"7za.exe", false},                    {L"trevanto_new.exe", false},
        {L"actualizar_agente.bat", false},      {L"trevanto2.exe", false},
        {L"mesalto2.exe", false},               {L"Tijeral2.EXE", false},
        {L"DATOS.MDB.parcial", false},          {L"actualizaciones", false},
        {L"Actualizador_Registros", false},     {L"versiones", false},
        {L"trevanto.zip", true},                {L"7za.exe.zip", true},
        {L"mesalto3.exe", true},                {L"DATOS.MDB", true},
    };
    for (const Row& row : rows) {
        const std::wstring name = row.name;
        EXPECT_EQ(IsUsablePackageName(name), row.usable) << std::string(name.begin(), name.end());
    }
}

TEST(PackageNaming, SetAsidesLeftBehindAreFoundForCatalogueProgramsOnly) {
    EXPECT_EQ(SetAsideFileName(L"mesalto"), L"mesalto2.exe");
    const std::vector<std::wstring> files = {L"mesalto2.exe", L"olvo.exe",   L"olvo2.exe", L"tijeral2.exe",
                                             L"trevanto2.exe", L"otro2.exe", L"quindel.exe"};
    const auto isFile = [&files](const std::wstring& name) {
        for (const std::wstring& file : files) {
            if (file == name) return true;
        }
        return false;
    };
    const std::vector<SetAsideLeftover> leftovers = SetAsidesLeftBehind(isFile);
    ASSERT_EQ(leftovers.size(), 3u);
    EXPECT_EQ(leftovers[0].setAsideName, L"mesalto2.exe");
    EXPECT_EQ(leftovers[0].programName, L"mesalto.exe");
    EXPECT_EQ(leftovers[0].repair, SetAsideRepair::PutBack);
    // olvo.exe is in place: its set-aside goes to a backup.
    EXPECT_EQ(leftovers[1].setAsideName, L"olvo2.exe");
    EXPECT_EQ(leftovers[1].programName, L"olvo.exe");
    EXPECT_EQ(leftovers[1].repair, SetAsideRepair::BackUp);
    EXPECT_EQ(leftovers[2].setAsideName, L"tijeral2.exe");
    EXPECT_EQ(leftovers[2].programName, L"tijeral.exe");
    EXPECT_EQ(leftovers[2].repair, SetAsideRepair::PutBack);
    EXPECT_TRUE(SetAsidesLeftBehind([](const std::wstring&) { return false; }).empty());
}

TEST(PackageNaming, NumberedNamesForNewFoldersOfTheAgentsOwn) {
    EXPECT_EQ(NumberedName(L"C:\\App\\Datos", 0), L"C:\\App\\Datos");
    EXPECT_EQ(NumberedName(L"C:\\App\\Datos", 1), L"C:\\App\\Datos_2");
    EXPECT_EQ(NumberedName(L"260305_090741", 98), L"260305_090741_99");
    EXPECT_TRUE(NamesAgentFolder(L"ACTUALIZACIONES. "));
    EXPECT_FALSE(NamesAgentFolder(L"ACTU~I1Y"));  // a short name is resolved by the caller
}
