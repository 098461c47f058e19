#include "app/archiver_trust_rules.h"

#include <gtest/gtest.h>

#include <string>

TEST(ArchiverTrust, OnlyAPinnedDigestRuns) {
    const std::string a(64, 'a'), b = "31fd52f8996986623cf52c3b4d0f7ac74a9dec63fc16c902cef673eed550c435";
    const std::string list = a + "," + b;
    EXPECT_TRUE(IsPinnedDigest(list, a));
    EXPECT_TRUE(IsPinnedDigest(list, b));
    EXPECT_TRUE(IsPinnedDigest(" " + std::string(64, 'A') + " ;\n" + b, a));  // any case, any separator
    EXPECT_FALSE(IsPinnedDigest(list, std::string(64, 'b')));
    EXPECT_FALSE(IsPinnedDigest(list, ""));                   // a file that could not be hashed
    EXPECT_FALSE(IsPinnedDigest("", a));                      // nothing pinned, nothing runs
    EXPECT_FALSE(IsPinnedDigest(a + "0", a));                 // a longer entry is no digest
    EXPECT_FALSE(IsPinnedDigest(a.substr(1), a.substr(1)));   // nor a shorter one
    EXPECT_FALSE(IsPinnedDigest(std::string(64, 'g'), std::string(64, 'g')));
    EXPECT_FALSE(IsPinnedDigest(list, std::string(64, 'A')));  // the hasher's digest is lower case
}
