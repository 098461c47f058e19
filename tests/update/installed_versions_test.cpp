#include "update/installed_versions.h"

#include <gtest/gtest.h>

TEST(InstalledVersions, TheFloorOnlyRises) {
    std::string record = WithInstalledVersion("", "MarvekMesalto", "6.0.3.17");
    EXPECT_EQ(record, "MarvekMesalto=6.0.3.17\n");
    record = WithInstalledVersion(record, "MarvekOlvo", "2.1");
    record = WithInstalledVersion(record, "MarvekMesalto", "5.0");  // never lowered
    EXPECT_EQ(record, "MarvekOlvo=2.1\nMarvekMesalto=6.0.3.17\n");
    EXPECT_EQ(InstalledVersionOf(record, "MarvekMesalto"), "6.0.3.17");
    EXPECT_EQ(InstalledVersionOf(record, "MarvekQuindel"), "");
    // Lines that are not a product and a version are dropped, not trusted.
    const std::string damaged = "basura\nMarvekMesalto=7.x\n=1.0\nMarvekMesalto=6.1\n";
    EXPECT_EQ(InstalledVersionOf(damaged, "MarvekMesalto"), "6.1");
    EXPECT_EQ(WithInstalledVersion(damaged, "MarvekOlvo", "1.0"), "MarvekMesalto=6.1\nMarvekOlvo=1.0\n");
    EXPECT_EQ(InstalledVersionOf(std::string(InstalledVersionsTextLimit + 1, 'a'), "a"), "");
}
