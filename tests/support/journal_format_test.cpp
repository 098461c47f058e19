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

TEST(JournalFormat, LockNameHashesThePathByCodeUnit) {
    EXPECT_EQ(JournalLockName(L"C:\\MARVEK\\MARVEK MESALTO\\ACTUALIZADOR_REGISTROS\\DESCARGAS.CSV"),
              L"Local\\trevanto_diario_a4cf475ff48076b0");
    // Hashed by UTF-16 code unit: an accented letter is one unit, not its bytes.
    EXPECT_EQ(JournalLockName(L"C:\\JOS\u00C9\\ACTUALIZADOR_REGISTROS\\EXTRACCIONES.CSV"),
              L"Local\\trevanto_diario_7d608fd08f9349a7");
    EXPECT_EQ(JournalLockName(L""), L"Local\\trevanto_diario_cbf29ce484222325");
}
