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
