#include "net/download_progress.h"

#include <gtest/gtest.h>

TEST(ContentLength, ParsesLikeASignedDecimal) {
    EXPECT_EQ(ParseContentLength("1000"), 1000);
    EXPECT_EQ(ParseContentLength("  42abc"), 42);
    EXPECT_EQ(ParseContentLength(""), 0);
    EXPECT_EQ(ParseContentLength("abc"), 0);
    EXPECT_EQ(ParseContentLength("-5"), -5);
    EXPECT_EQ(ParseContentLength("+7"), 7);
    EXPECT_EQ(ParseContentLength("4294967296"), 4294967296LL);
    EXPECT_GT(ParseContentLength("99999999999999999999999999"), 4294967296LL);
}

TEST(TransferProgress, ScalesToSeventyWithoutClamping) {
    EXPECT_EQ(TransferProgress(600, 1000), 42);
    EXPECT_EQ(TransferProgress(1000, 1000), 70);
    EXPECT_EQ(TransferProgress(1500, 1000), 105);
    EXPECT_EQ(TransferProgress(0, 1000), 0);
    EXPECT_EQ(TransferProgress(1, 3), 23);
    // The product does not overflow 32 bits for a large package.
    EXPECT_EQ(TransferProgress(200u * 1024 * 1024, 200u * 1024 * 1024), 70);
    EXPECT_EQ(TransferProgress(4000000000u, 4000000000u), 70);
    EXPECT_EQ(TransferProgress(5, 0), 0);
}
