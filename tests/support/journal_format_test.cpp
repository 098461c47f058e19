#include "support/journal_format.h"

#include <gtest/gtest.h>

TEST(JournalFormat, TimestampIsZeroPadded) {
    LocalStamp stamp;
    stamp.year = 2026;
    stamp.month = 3;
    stamp.day = 5;
    stamp.hour = 9;
    stamp.minute = 7;
    stamp.second = 41;
    EXPECT_EQ(JournalTimestamp(stamp), "2026-03-05 09:07:41");
    EXPECT_EQ(JournalLine(stamp, "COPIA_OK;a;->;b"), "2026-03-05 09:07:41;COPIA_OK;a;->;b\n");
}

TEST(JournalFormat, CallerTextIsKeptByteForByte) {
    LocalStamp stamp;
    stamp.year = 999;
    stamp.month = 12;
    stamp.day = 31;
    stamp.hour = 23;
    stamp.minute = 59;
    stamp.second = 0;
    const std::string text = std::string("X;\xE9;a=b\0z", 9);
    EXPECT_EQ(JournalLine(stamp, text), std::string("0999-12-31 23:59:00;X;\xE9;a=b\0z\n", 30));
    EXPECT_EQ(JournalLine(stamp, ""), "0999-12-31 23:59:00;\n");
}

TEST(JournalFormat, FileBytesEndEveryLineWithCrLfAsATextStreamDoes) {
    EXPECT_EQ(JournalFileBytes("2026-03-05 09:07:41;COPIA_OK;a\n"), "2026-03-05 09:07:41;COPIA_OK;a\r\n");
    // Every LF, also inside the caller's text, and also after a CR.
    EXPECT_EQ(JournalFileBytes("a\nb\r\n\x1A\n"), "a\r\nb\r\r\n\x1A\r\n");
    EXPECT_EQ(JournalFileBytes(std::string("x\0y\n", 4)), std::string("x\0y\r\n", 5));
    EXPECT_EQ(JournalFileBytes(""), "");
}
