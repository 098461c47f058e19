#include "net/resume_rules.h"

#include <gtest/gtest.h>

TEST(DecideResume, AppendsOnlyTheExactRestAndStartsOverOnA200) {
    struct Row {
        unsigned long status;
        const char* contentRange;
        std::uint64_t held, total;
        ResumeAction action;
    };
    const Row rows[] = {
        {206, "bytes 100-999/1000", 100, 1000, ResumeAction::Append},
        {206, "bytes 999-999/1000", 999, 1000, ResumeAction::Append},
        {206, "bytes 10485760-31457279/31457280", 10485760, 31457280, ResumeAction::Append},
        {200, "", 100, 1000, ResumeAction::StartOver},
        {200, "bytes 100-999/1000", 100, 1000, ResumeAction::StartOver},
        {206, "bytes 0-999/1000", 100, 1000, ResumeAction::Fail},      // starts elsewhere
        {206, "bytes 101-999/1000", 100, 1000, ResumeAction::Fail},
        {206, "bytes 100-998/1000", 100, 1000, ResumeAction::Fail},    // stops short
        {206, "bytes 100-1000/1001", 100, 1000, ResumeAction::Fail},   // another total
        {206, "bytes 100-999/*", 100, 1000, ResumeAction::Fail},
        {206, "bytes 100-999/1000 ", 100, 1000, ResumeAction::Fail},
        {206, "items 100-999/1000", 100, 1000, ResumeAction::Fail},
        {206, "", 100, 1000, ResumeAction::Fail},
        {206, "bytes 100-999/1000", 100, 0, ResumeAction::Fail},       // no total announced
        {206, "bytes 99999999999999999999-999/1000", 100, 1000, ResumeAction::Fail},
        {416, "bytes */1000", 100, 1000, ResumeAction::Fail},
        {404, "", 100, 1000, ResumeAction::Fail},
        {204, "", 100, 1000, ResumeAction::Fail},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DecideResume(row.status, row.contentRange, row.held, row.total), row.action)
            << row.status << " " << row.contentRange << " held=" << row.held;
    }
    // A 206 whose Content-Length is not the rest it claims to carry.
    EXPECT_EQ(DecideResume(206, "bytes 100-999/1000", 100, 1000, 900), ResumeAction::Append);
    EXPECT_EQ(DecideResume(206, "bytes 100-999/1000", 100, 1000, 904), ResumeAction::Fail);
    EXPECT_EQ(DecideResume(206, "bytes 100-999/1000", 100, 1000, 899), ResumeAction::Fail);
    EXPECT_EQ(DecideResume(206, "bytes 107520-215039/215040", 107520, 215040, 111616), ResumeAction::Fail);
    EXPECT_EQ(DecideResume(200, "", 100, 1000, 5000), ResumeAction::StartOver);
}

TEST(RangeHeader, AsksForEverythingAfterTheHeldBytes) {
    EXPECT_EQ(RangeHeader(0), "Range: bytes=0-\r\n");
    EXPECT_EQ(RangeHeader(10485760), "Range: bytes=10485760-\r\n");
    EXPECT_EQ(RangeHeader(5000000000ull), "Range: bytes=5000000000-\r\n");
}

TEST(ResumeHeaders, AskForTheRestOnlyOfTheVersionHeld) {
    const std::string date = "Tue, 01 Dec 2026 10:00:00 GMT";
    EXPECT_EQ(IfRangeValidator("\"v1\"", date), "\"v1\"");
    EXPECT_EQ(IfRangeValidator("", date), date);
    // A weak ETag may not stand in If-Range, nor may a date beside an ETag:
    // such a head is not resumed at all.
    EXPECT_EQ(IfRangeValidator("W/\"v1\"", date), "");
    EXPECT_EQ(IfRangeValidator("W/\"v1\"", ""), "");
    EXPECT_FALSE(CanResumeFrom("W/\"v1\""));
    EXPECT_TRUE(CanResumeFrom("\"W/v1\""));
    EXPECT_TRUE(CanResumeFrom("\"v1\""));
    EXPECT_TRUE(CanResumeFrom(""));
    EXPECT_EQ(IfRangeValidator("", ""), "");
    EXPECT_EQ(IfRangeValidator("\"a\"\r\nX-Otra: 1", date), date);
    EXPECT_EQ(IfRangeValidator("", "a\nb"), "");

    EXPECT_EQ(ResumeHeaders(100, ""), "Range: bytes=100-\r\n");
    EXPECT_EQ(ResumeHeaders(10485760, "\"v1\""), "Range: bytes=10485760-\r\nIf-Range: \"v1\"\r\n");
    EXPECT_EQ(ResumeHeaders(7, date), "Range: bytes=7-\r\nIf-Range: " + date + "\r\n");
}

TEST(ResumeWaitMs, DoublesFromTwoSeconds) {
    EXPECT_EQ(ResumeAttempts, 3);
    EXPECT_EQ(ResumeWaitMs(1), 2000ul);
    EXPECT_EQ(ResumeWaitMs(2), 4000ul);
    EXPECT_EQ(ResumeWaitMs(3), 8000ul);
}
