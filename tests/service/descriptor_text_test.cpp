#include "service/descriptor_text.h"

#include <gtest/gtest.h>

namespace {

DescriptorFacts AllSeven() {
    DescriptorFacts facts;
    facts.agentVersion = "1.26.0803";
    facts.productKey = "MarvekMesalto";
    facts.productVersion = "5.2.1.0";
    facts.hostName = "OFICINA-1";
    facts.windowsVersion = "10.0.19045.3803";
    facts.installedPath = "C:\\Marvek\\Marvek Mesalto\\mesalto.exe";
    facts.lastUpdate = "2026-03-05T09:07:41Z";
    return facts;
}

}  // namespace

TEST(DescriptorText, AllSevenMembers) {
    EXPECT_EQ(DescriptorText(AllSeven()),
              "{\n"
              "  \"actualizador_version\": \"1.26.0803\",\n"
              "  \"Programa\": \"MarvekMesalto\",\n"
              "  \"Version\": \"5.2.1.0\",\n"
              "  \"hostname\": \"OFICINA-1\",\n"
              "  \"windows_version\": \"10.0.19045.3803\",\n"
              "  \"installed_path\": \"C:\\\\Marvek\\\\Marvek Mesalto\\\\mesalto.exe\",\n"
              "  \"last_update_at\": \"2026-03-05T09:07:41Z\"\n"
              "}");
}

TEST(DescriptorText, FiveMembersWithoutHostAndStamp) {
    DescriptorFacts facts = AllSeven();
    facts.hostName.clear();
    facts.lastUpdate.clear();
    facts.productVersion = VersionUnavailable;
    facts.installedPath = "C:\\A\xc3\xb1o\\mesalto.exe";
    EXPECT_EQ(DescriptorText(facts),
              "{\n"
              "  \"actualizador_version\": \"1.26.0803\",\n"
              "  \"Programa\": \"MarvekMesalto\",\n"
              "  \"Version\": \"No disponible\",\n"
              "  \"windows_version\": \"10.0.19045.3803\",\n"
              "  \"installed_path\": \"C:\\\\A\xc3\xb1o\\\\mesalto.exe\"\n"
              "}");
}

TEST(DescriptorText, ThreeMembersAtLeast) {
    DescriptorFacts facts;
    facts.agentVersion = "1";
    facts.productKey = "K\"";
    facts.productVersion = "v";
    EXPECT_EQ(DescriptorText(facts),
              "{\n  \"actualizador_version\": \"1\",\n  \"Programa\": \"K\\\"\",\n"
              "  \"Version\": \"v\"\n}");
}

TEST(DescriptorFacts, SettingsKeysByExeName) {
    EXPECT_EQ(SettingsKeyForExe("mesalto.exe"), "SOFTWARE\\VB and VBA Program Settings\\Marvek Mesalto\\Opciones");
    EXPECT_EQ(SettingsKeyForExe("tijeral.exe"), "SOFTWARE\\VB and VBA Program Settings\\Marvek Tijerales\\Opciones");
    EXPECT_EQ(SettingsKeyForExe("olvo.exe"), "SOFTWARE\\VB and VBA Program Settings\\Marvek Olvo\\Opciones");
    EXPECT_EQ(SettingsKeyForExe("OLVO.EXE"), "");
    EXPECT_EQ(SettingsKeyForExe(""), "");
}

TEST(DescriptorFacts, FileVersionPartsAreFull16BitNumbers) {
    EXPECT_EQ(FileVersionText(0x00020004, 0x00000011), "2.4.0.17");
    EXPECT_EQ(FileVersionText(0x0001FFFF, 0x00000002), "1.65535.0.2");
    EXPECT_EQ(FileVersionText(0xFFFFFFFF, 0xFFFFFFFF), "65535.65535.65535.65535");
    EXPECT_EQ(FileVersionText(0x00010000, 0), "1.0.0.0");
}

TEST(DescriptorFacts, WindowsVersionFromRegistryValues) {
    EXPECT_EQ(WindowsVersionFromValues(10, 0, "19045", 3803), "10.0.19045.3803");
    EXPECT_EQ(WindowsVersionFromValues(0, 0, "7601", 0), "0.0.7601.0");
    EXPECT_EQ(WindowsVersionFromValues(10, 0, "", 5), "10.0.0.5");
    EXPECT_EQ(WindowsVersionFromValues(0, 3, "", 5), "");
    EXPECT_EQ(WindowsVersionFromValues(4294967295u, 0, "1", 0), "4294967295.0.1.0");
}

TEST(DescriptorFacts, UtcStampIsTwentyCharacters) {
    EXPECT_EQ(UtcStampText(2026, 3, 5, 9, 7, 41), "2026-03-05T09:07:41Z");
    EXPECT_EQ(UtcStampText(2026, 12, 31, 23, 59, 59).size(), 20u);
}
