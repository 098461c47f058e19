#include "contract.h"

#include <gtest/gtest.h>

using namespace contract;

TEST(AgentVersionAnswer, OffersUrlOnlyToOtherVersions) {
    EXPECT_EQ(AgentVersionAnswer("1.26.0803", "1.26.0900", "https://d.example/a/trevanto.exe"),
              R"({"version":"1.26.0900","url":"https://d.example/a/trevanto.exe"})");
    EXPECT_EQ(AgentVersionAnswer("1.26.0900", "1.26.0900", "https://d.example/a/trevanto.exe"),
              R"({"version":"1.26.0900"})");
    EXPECT_EQ(AgentVersionAnswer("", "2", "u"), R"({"version":"2","url":"u"})");
    EXPECT_EQ(AgentVersionAnswer("1", "", ""), "{}");
}

TEST(AgentVersionAnswer, UrlIsFoundByTheAgentsTextSearch) {
    const std::string body = AgentVersionAnswer("1.26.0803", "9", "https://d.example/x.exe");
    EXPECT_NE(body.find("\"url\":\"https://d.example/x.exe\""), std::string::npos);
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
