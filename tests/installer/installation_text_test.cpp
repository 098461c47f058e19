#include "installer/installation_text.h"

#include <gtest/gtest.h>

TEST(InstallationText, PathsGetOneBackslash) {
    EXPECT_EQ(InstallPath(L"C:\\Marvek\\Marvek Mesalto", AgentExeName), L"C:\\Marvek\\Marvek Mesalto\\trevanto.exe");
    EXPECT_EQ(InstallPath(L"D:\\", L"7za.exe"), L"D:\\7za.exe");
    EXPECT_EQ(InstallPath(L"D:\\Programas\\", AgentPackageName), L"D:\\Programas\\1.25.1119_trevanto.zip");
}

TEST(InstallationText, PackageUrl) {
    EXPECT_EQ(AgentPackageUrl(L"descargas.example"), L"https://descargas.example/parches/1.25.1119_trevanto.zip");
}

TEST(InstallationText, MessageTexts) {
    EXPECT_EQ(DeleteErrorText(L"C:\\Marvek\\MarvekTijeral\\trevanto.exe", 3),
              L"No se pudo eliminar:\nC:\\Marvek\\MarvekTijeral\\trevanto.exe\n\nError: 3");
    EXPECT_EQ(ArchiverFetchErrorText(L"https://h/parches/7za.exe", 0x800C0008ul),
              L"No se pudo descargar 7za.exe:\nhttps://h/parches/7za.exe\n\nHRESULT: 0x800C0008");
    EXPECT_EQ(ArchiverFetchErrorText(L"u", 0), L"No se pudo descargar 7za.exe:\nu\n\nHRESULT: 0x00000000");
    EXPECT_EQ(PackageFetchErrorText(L"u", 0x800C0005ul), L"No se pudo descargar el ZIP:\nu\n\nHRESULT: 0x800C0005");
    EXPECT_EQ(ExtractionLaunchErrorText(193), L"No se pudo lanzar 7za.exe para descomprimir.\nError: 193");
    EXPECT_EQ(ExtractionExitCodeText(4294967295ul),
              L"7za.exe devolvi\u00f3 c\u00f3digo 4294967295.\n"
              L"Es posible que el ZIP no se haya descomprimido correctamente.");
    EXPECT_EQ(InstalledText(L"C:\\Marvek\\Marvek Olvo"),
              L"Trevanto se ha instalado correctamente en:\nC:\\Marvek\\Marvek Olvo");
    EXPECT_EQ(HresultText(0x0000ABCDul), L"0x0000ABCD");
}

TEST(InstallationText, ExtractionCommandLine) {
    EXPECT_EQ(ExtractionCommandLine(L"C:\\M\\7za.exe", L"C:\\M\\1.25.1119_trevanto.zip", L"C:\\M"),
              L"\"C:\\M\\7za.exe\" x -y \"C:\\M\\1.25.1119_trevanto.zip\" -o\"C:\\M\"");
    // A drive root keeps its backslash in the output folder: -o"D:\\" reads as -oD:\ .
    EXPECT_EQ(ExtractionCommandLine(L"D:\\7za.exe", L"D:\\p.zip", L"D:\\"),
              L"\"D:\\7za.exe\" x -y \"D:\\p.zip\" -o\"D:\\\\\"");
}
