#include "alerts/alert_links.h"

#include <gtest/gtest.h>

TEST(AlertLinks, OnlyWebAddressesGoToTheShell) {
    for (const char* link : {"http://www.marvek.example/", "https://x", "HTTPS://X.EXAMPLE/a?b", "HtTp://h"}) {
        EXPECT_TRUE(IsWebLink(link)) << link;
    }
    for (const char* link : {"C:\\Windows\\System32\\cmd.exe", "\\\\host\\share\\x.exe", "file:///C:/x.exe",
                             "javascript:alert(1)", " https://x", "https:/x", "https://", "http:", "mailto:a@b",
                             "ms-settings:", "shell:startup", "cmd.exe", ""}) {
        EXPECT_FALSE(IsWebLink(link)) << link;
    }
    EXPECT_EQ(IgnoredLinkJournalText("file:///C:/x.exe"), "ENLACE_NO_WEB_IGNORADO;file:///C:/x.exe");
}
