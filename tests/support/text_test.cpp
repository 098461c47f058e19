#include "support/text.h"

#include <gtest/gtest.h>

TEST(Text, NarrowKeepsLowByte) {
    EXPECT_EQ(NarrowLowByte(L"C:\\caf\u00e9"), "C:\\caf\xE9");
    EXPECT_EQ(NarrowLowByte(L"A\u00f1o"), "A\xF1o");
    // U+0144 (n with acute) is not in ISO 8859-1: its low byte 0x44 is 'D'.
    EXPECT_EQ(NarrowLowByte(L"\u0144"), "D");
    EXPECT_EQ(NarrowLowByte(L"\u20ac"), "\xAC");
    EXPECT_EQ(NarrowLowByte(L""), "");
}

TEST(Text, WidenIsByteForByte) {
    EXPECT_EQ(WidenBytes("caf\xE9"), L"caf\u00e9");
    EXPECT_EQ(WidenBytes(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(WidenBytes("\xFF"), L"\u00ff");
}

TEST(Text, DecimalWithoutLeadingZeros) {
    EXPECT_EQ(DecimalText(0), "0");
    EXPECT_EQ(DecimalText(12029), "12029");
    EXPECT_EQ(DecimalText(4294967295ul), "4294967295");
}
