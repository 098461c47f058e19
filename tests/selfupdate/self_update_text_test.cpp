#include "selfupdate/self_update_text.h"

#include <gtest/gtest.h>

#include <map>

TEST(ExtractJsonString, ValueRightAfterColon) {
    EXPECT_EQ(ExtractJsonString(R"({"url":"https://d.example/t.exe","v":"2"})", "url"), "https://d.example/t.exe");
    EXPECT_EQ(ExtractJsonString(R"({"version":"1","url":"x"})", "url"), "x");
}

TEST(ExtractJsonString, BlanksOrMissingPiecesGiveEmpty) {
    EXPECT_EQ(ExtractJsonString(R"({"url": "https://d.example/t.exe"})", "url"), "");
    EXPECT_EQ(ExtractJsonString(R"({"url" :"x"})", "url"), "");
    EXPECT_EQ(ExtractJsonString(R"({"url":""})", "url"), "");
    EXPECT_EQ(ExtractJsonString(R"({"url":"sin cierre)", "url"), "");
    EXPECT_EQ(ExtractJsonString(R"({"URL":"x"})", "url"), "");
    EXPECT_EQ(ExtractJsonString("", "url"), "");
}

TEST(ExtractJsonString, NoUnescaping) {
    EXPECT_EQ(ExtractJsonString(R"({"url":"https:\/\/d.example\/t.exe"})", "url"), R"(https:\/\/d.example\/t.exe)");
    // An escaped quote ends the value at its quote.
    EXPECT_EQ(ExtractJsonString(R"({"url":"a\"b"})", "url"), "a\\");
    // The first occurrence wins, wherever it stands in the structure.
    EXPECT_EQ(ExtractJsonString(R"({"a":{"url":"interior"},"url":"exterior"})", "url"), "interior");
}

TEST(SelfUpdateBatch, TextIsByteForByte) {
    const std::string expected =
        "@echo off\r\n"
        ":: Esperar a que el proceso padre termine\r\n"
        ":wait\r\n"
        "tasklist /FI \"PID eq 4242\" 2>NUL | find /I \"4242\" >NUL\r\n"
        "if not errorlevel 1 (\r\n"
        "    ping -n 2 127.0.0.1 >NUL\r\n"
        "    goto wait\r\n"
        ")\r\n"
        ":: Reemplazar exe\r\n"
        "copy /Y \"C:\\P\\trevanto_new.exe\" \"C:\\P\\agente.exe\"\r\n"
        "del /F /Q \"C:\\P\\trevanto_new.exe\"\r\n"
        ":: Relanzar actualizador\r\n"
        "start \"\" \"C:\\P\\agente.exe\"\r\n"
        ":: Autoeliminarse\r\n"
        "(goto) 2>NUL & del \"%~f0\"\r\n";
    EXPECT_EQ(SelfUpdateBatchText(4242, "C:\\P\\trevanto_new.exe", "C:\\P\\agente.exe"), expected);
}

TEST(SelfUpdateBatch, PathsUseTheConsoleCodePageWhereItHasTheCharacter) {
    // A stand-in for code page 850: é is 0x82, ñ is 0xA4; no Greek letters.
    const std::map<wchar_t, std::string> cp850 = {{L'\u00e9', "\x82"}, {L'\u00f1', "\xA4"}};
    const ConsoleCharEncoder encode = [&cp850](wchar_t c, std::string& bytes) {
        if (c < 0x80) {
            bytes.assign(1, static_cast<char>(c));
            return true;
        }
        const auto found = cp850.find(c);
        if (found == cp850.end()) return false;
        bytes = found->second;
        return true;
    };
    EXPECT_EQ(EncodePathForBatch(L"C:\\Jos\u00e9\\A\u00f1o\\t.exe", 850, encode), "C:\\Jos\x82\\A\xA4o\\t.exe");
    // U+03A9 is missing: its low byte (0xA9) stands in.
    EXPECT_EQ(EncodePathForBatch(L"C:\\\u03a9", 850, encode), "C:\\\xA9");
}

TEST(SelfUpdateBatch, PathsAreUtf8WhenTheConsoleCodePageIs65001) {
    // Windows cannot convert to 65001 with the flags the other code pages
    // take: the encoder fails for everything and must not be asked.
    const ConsoleCharEncoder failing = [](wchar_t, std::string&) { return false; };
    EXPECT_EQ(EncodePathForBatch(L"C:\\Jos\u00e9\\A\u00f1o \u20ac\\\U0001F600.exe", 65001, failing),
              "C:\\Jos\xC3\xA9\\A\xC3\xB1o \xE2\x82\xAC\\\xF0\x9F\x98\x80.exe");
    EXPECT_EQ(EncodePathForBatch(L"C:\\P\\t.exe", 65001, failing), "C:\\P\\t.exe");
}

TEST(SelfUpdateBatch, PercentSignsInPathsAreDoubled) {
    // Unescaped, cmd.exe would expand "%OS%" and swallow the lone "%".
    const std::string expected =
        "@echo off\r\n"
        ":: Esperar a que el proceso padre termine\r\n"
        ":wait\r\n"
        "tasklist /FI \"PID eq 7\" 2>NUL | find /I \"7\" >NUL\r\n"
        "if not errorlevel 1 (\r\n"
        "    ping -n 2 127.0.0.1 >NUL\r\n"
        "    goto wait\r\n"
        ")\r\n"
        ":: Reemplazar exe\r\n"
        "copy /Y \"C:\\100%% %%OS%%\\trevanto_new.exe\" \"C:\\100%% %%OS%%\\t.exe\"\r\n"
        "del /F /Q \"C:\\100%% %%OS%%\\trevanto_new.exe\"\r\n"
        ":: Relanzar actualizador\r\n"
        "start \"\" \"C:\\100%% %%OS%%\\t.exe\"\r\n"
        ":: Autoeliminarse\r\n"
        "(goto) 2>NUL & del \"%~f0\"\r\n";
    EXPECT_EQ(SelfUpdateBatchText(7, "C:\\100% %OS%\\trevanto_new.exe", "C:\\100% %OS%\\t.exe"), expected);
}

TEST(SelfUpdateTexts, RequestPathAndWarningText) {
    EXPECT_EQ(SelfUpdateRequestPath(), "/apis/trevanto/v1/agente-version?version=1.26.0803");
    EXPECT_EQ(SelfUpdateErrorText("https://d.example/n.exe", 404),
              L"No se pudo descargar la actualizaci\u00f3n del actualizador:\nhttps://d.example/n.exe\n\nError: 404");
    EXPECT_STREQ(SelfUpdateErrorTitle, L"Trevanto - Error de auto-actualizaci\u00f3n");
}
