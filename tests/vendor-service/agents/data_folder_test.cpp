#include "agents/data_folder.h"

#include <gtest/gtest.h>

#include "../service_fixture.h"

TEST(DataFolder, DocumentPerProductThenDefaultThenBuiltIn) {
    TempDataFolder data;
    const DataFolder folder{data.Root()};
    EXPECT_EQ(NotificationDocumentFor(folder, "MarvekMesalto"), BuiltInDocument);

    data.Write("notificaciones/default.json", R"({"titulo":"General"})");
    data.Write("notificaciones/MarvekMesalto.json", R"({"titulo":"Mesalto"})");
    EXPECT_EQ(NotificationDocumentFor(folder, "MarvekMesalto"), R"({"titulo":"Mesalto"})");
    EXPECT_EQ(NotificationDocumentFor(folder, "MarvekOlvo"), R"({"titulo":"General"})");
    EXPECT_EQ(NotificationDocumentFor(folder, ""), R"({"titulo":"General"})");
    // A key is never used as a path.
    data.Write("secreto.json", "no");
    EXPECT_EQ(NotificationDocumentFor(folder, "../secreto"), R"({"titulo":"General"})");
}

TEST(DataFolder, AgentReleaseNeedsVersionAndUrl) {
    TempDataFolder data;
    const DataFolder folder{data.Root()};
    contract::AgentOffer offer;
    EXPECT_FALSE(AgentRelease(folder, offer));
    data.Write("agente.json", R"({"version":"1.26.0900"})");
    EXPECT_FALSE(AgentRelease(folder, offer));
    data.Write("agente.json", "{no es json");
    EXPECT_FALSE(AgentRelease(folder, offer));
    data.Write("agente.json", R"({"version":"1.26.0900","url":"https://d.example/t.exe","firma":7,"declaracion":[]})");
    ASSERT_TRUE(AgentRelease(folder, offer));
    EXPECT_EQ(offer.version, "1.26.0900");
    EXPECT_EQ(offer.url, "https://d.example/t.exe");
    EXPECT_EQ(offer.signature, "");
    EXPECT_EQ(offer.statement, "");
    data.Write("agente.json", R"({"version":"1.26.0900","url":"https://d.example/t.exe","firma":"q+/A==",)"
                              R"("declaracion":"ZGVj","declaracion_firma":"ZmlybWE="})");
    ASSERT_TRUE(AgentRelease(folder, offer));
    EXPECT_EQ(offer.signature, "q+/A==");
    EXPECT_EQ(offer.statement, "ZGVj");
    EXPECT_EQ(offer.statementSignature, "ZmlybWE=");
}
