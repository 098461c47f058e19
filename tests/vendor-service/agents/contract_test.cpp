#include "agents/contract.h"

#include <gtest/gtest.h>

using namespace contract;

TEST(AgentVersionAnswer, OffersUrlOnlyWhenTheReleaseIsNewer) {
    struct Case {
        const char* asking;
        const char* offered;
        const char* answer;
    };
    const Case cases[] = {
        {"1.26.0803", "1.26.0900", R"({"version":"1.26.0900","url":"u"})"},
        {"1.26.0900", "1.26.0900", R"({"version":"1.26.0900"})"},
        {"1.26.0803", "1.26.803", R"({"version":"1.26.803"})"},
        {"1.26.0803", "1.27.1", R"({"version":"1.27.1","url":"u"})"},
        {"1.27.1", "1.26.0803", R"({"version":"1.26.0803"})"},
        {"1.26", "1.3", R"({"version":"1.3"})"},
        {"1.3", "1.26", R"({"version":"1.26","url":"u"})"},
        {"1.26", "1.26.0.0", R"({"version":"1.26.0.0"})"},
        {"1.26", "1.26.0.1", R"({"version":"1.26.0.1","url":"u"})"},
        {"1.26.1", "1.26", R"({"version":"1.26"})"},
        {"1", "99999999999999999999.0", R"({"version":"99999999999999999999.0","url":"u"})"},
        {"1.26.0803", "1.27-beta", R"({"version":"1.27-beta"})"},
        {"1.26.0803", "1.27.x", R"({"version":"1.27.x"})"},
        {"1.26.0803", "1..27", R"({"version":"1..27"})"},
        {"1.26.0803", "2.", R"({"version":"2."})"},
        {"1.26.0803", " 2", R"({"version":" 2"})"},
        {"abc", "2", R"({"version":"2"})"},
        {"", "2", R"({"version":"2"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AgentVersionAnswer(c.asking, {c.offered, "u"}), c.answer) << c.asking << " asks, " << c.offered;
    }
    EXPECT_EQ(AgentVersionAnswer("1", {"", ""}), "{}");
    EXPECT_EQ(AgentVersionAnswer("1", {"2", ""}), "{}");
}

TEST(AgentVersionAnswer, UrlAndSignatureAreFoundByTheAgentsTextSearch) {
    EXPECT_EQ(AgentVersionAnswer("1.26.0803", {"9", "https://d.example/x.exe"}),
              R"({"version":"9","url":"https://d.example/x.exe"})");
    EXPECT_EQ(AgentVersionAnswer("1.26.0803", {"9", "https://d.example/x.exe", "q+/A=="}),
              R"({"version":"9","url":"https://d.example/x.exe","firma":"q+/A=="})");
    // The statement's two members, compact, as the agent's text search reads them.
    EXPECT_EQ(AgentVersionAnswer("1.26.0803", {"9", "https://d.example/x.exe", "", "ZGVj", "ZmlybWE="}),
              R"({"version":"9","url":"https://d.example/x.exe","declaracion":"ZGVj","declaracion_firma":"ZmlybWE="})");
    EXPECT_EQ(AgentVersionAnswer("9", {"9", "https://d.example/x.exe", "q+/A==", "ZGVj", "ZmlybWE="}),
              R"({"version":"9"})");
}

TEST(ErrorBody, EscapesText) {
    EXPECT_EQ(ErrorBody("API key no valida"), R"({"error":"API key no valida"})");
    EXPECT_EQ(ErrorBody("a\"b\\c\n\x01"), "{\"error\":\"a\\\"b\\\\c\\n\\u0001\"}");
    // Bytes that are not UTF-8 cannot break the JSON answer.
    EXPECT_EQ(ErrorBody("\xff"), "{\"error\":\"\xEF\xBF\xBD\"}");
}

TEST(StaticPath, OnlyFilesBelowKnownPrefixes) {
    EXPECT_TRUE(IsSafeStaticPath("/parches/7za.exe"));
    EXPECT_TRUE(IsSafeStaticPath("/wp-content/uploads/2025/11/mesalto.png"));
    EXPECT_TRUE(IsSafeStaticPath("/uploads/foto_actualizador.png"));
    EXPECT_TRUE(IsSafeStaticPath("/paquetes/mesalto.zip"));
    EXPECT_FALSE(IsSafeStaticPath("/parches/"));
    EXPECT_FALSE(IsSafeStaticPath("/parches/../servicio.db"));
    EXPECT_FALSE(IsSafeStaticPath("/parches/a/./b"));
    EXPECT_FALSE(IsSafeStaticPath("/parches//b"));
    EXPECT_FALSE(IsSafeStaticPath("/parches/a\\..\\b"));
    EXPECT_FALSE(IsSafeStaticPath(std::string("/parches/a\0b", 12)));
    EXPECT_FALSE(IsSafeStaticPath("/agente.json"));
    EXPECT_FALSE(IsSafeStaticPath("/notificaciones/default.json"));
    EXPECT_FALSE(IsSafeStaticPath("/parchesX/a"));
}
