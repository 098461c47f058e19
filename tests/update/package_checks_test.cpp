#include "update/package_checks.h"

#include <gtest/gtest.h>

TEST(PackageChecks, ProgramsStartWithMz) {
    EXPECT_TRUE(StartsWithMz({'M', 'Z'}));
    EXPECT_TRUE(StartsWithMz({'M', 'Z', 0x90, 0}));
    EXPECT_FALSE(StartsWithMz({'<', 'h', 't', 'm', 'l', '>'}));
    EXPECT_FALSE(StartsWithMz({'m', 'z', 0x90}));
    EXPECT_FALSE(StartsWithMz({'Z', 'M'}));
    EXPECT_FALSE(StartsWithMz({'M', 'X', 'Z'}));
    EXPECT_FALSE(StartsWithMz({'M'}));
    EXPECT_FALSE(StartsWithMz({}));
}

TEST(PackageChecks, WriteErrorCodes) {
    struct Row {
        bool succeeded;
        unsigned long written, wanted, lastError, expected;
    };
    const Row rows[] = {
        {true, 10, 10, 183, 0},     // complete: a stale code is not passed on
        {true, 0, 0, 0, 0},         // nothing to write
        {true, 4, 10, 183, 112},    // short write reported as success
        {true, 0, 10, 0, 112},      // nothing written, success reported
        {false, 4, 10, 112, 112},   // failed: the write's own code
        {false, 0, 10, 5, 5},
        {false, 10, 10, 1784, 1784},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WriteErrorCode(row.succeeded, row.written, row.wanted, row.lastError), row.expected)
            << row.succeeded << " " << row.written << "/" << row.wanted << " " << row.lastError;
    }
}
