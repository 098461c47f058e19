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

TEST(JournalFormat, CallerTextIsKeptByteForByteButForControlBytes) {
    LocalStamp stamp;
    stamp.year = 999;
    stamp.month = 12;
    stamp.day = 31;
    stamp.hour = 23;
    stamp.minute = 59;
    stamp.second = 0;
    const std::string text = std::string("X;\xE9;a=b\0z", 9);
    EXPECT_EQ(JournalLine(stamp, text), "0999-12-31 23:59:00;X;\xE9;a=b_z\n");
    EXPECT_EQ(JournalLine(stamp, ""), "0999-12-31 23:59:00;\n");
    // An address sent by a hostile host cannot forge a line of its own.
    EXPECT_EQ(JournalLine(stamp, "FIRMA_AUSENTE;https://h/a\r\n2026-01-01 00:00:00;OK\x7F\t"),
              "0999-12-31 23:59:00;FIRMA_AUSENTE;https://h/a__2026-01-01 00:00:00;OK__\n");
    // Nor grow the journal without bound.
    const std::string line = JournalLine(stamp, "X;" + std::string(1 << 20, 'a'));
    EXPECT_EQ(line, "0999-12-31 23:59:00;X;" + std::string(JournalTextLimit - 2, 'a') + "...\n");
}

TEST(JournalFormat, FileBytesEndEveryLineWithCrLfAsATextStreamDoes) {
    EXPECT_EQ(JournalFileBytes("2026-03-05 09:07:41;COPIA_OK;a\n"), "2026-03-05 09:07:41;COPIA_OK;a\r\n");
    // Every LF, also inside the caller's text, and also after a CR.
    EXPECT_EQ(JournalFileBytes("a\nb\r\n\x1A\n"), "a\r\nb\r\r\n\x1A\r\n");
    EXPECT_EQ(JournalFileBytes(std::string("x\0y\n", 4)), std::string("x\0y\r\n", 5));
    EXPECT_EQ(JournalFileBytes(""), "");
}
