#include "app/archiver_bootstrap_text.h"

#include <gtest/gtest.h>

TEST(ArchiverBootstrap, UrlAndBoxText) {
    const std::wstring url = ArchiverBootstrapUrl(L"descargas.example");
    EXPECT_EQ(url, L"https://descargas.example/parches/7za.exe");
    EXPECT_EQ(ArchiverErrorText(url, 12029),
              L"No se pudo descargar 7za.exe desde:\nhttps://descargas.example/parches/7za.exe\n\nError: 12029");
    const std::wstring largest = ArchiverErrorText(L"u", 4294967295ul);
    EXPECT_EQ(largest, L"No se pudo descargar 7za.exe desde:\nu\n\nError: 4294967295");
    EXPECT_STREQ(ArchiverErrorTitle, L"Trevanto - Error descargando 7za.exe");
}
