#include "http/text_escape.h"

#include <gtest/gtest.h>

TEST(TextEscape, LogValuesHoldNoBlankNorControlByte) {
    EXPECT_EQ(EscapeLogValue("/apis/trevanto/v1/checkin?x=1&y=%20"), "/apis/trevanto/v1/checkin?x=1&y=%20");
    EXPECT_EQ(EscapeLogValue("api.example\x1b[2J\r\nstatus=200 \"x\"\\"),
              "api.example\\x1b[2J\\x0d\\x0astatus=200\\x20\\x22x\\x22\\x5c");
    EXPECT_EQ(EscapeLogValue("A\xc3\xb1o\x7f"), "A\\xc3\\xb1o\\x7f");
    EXPECT_EQ(EscapeLogValue(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(EscapeLogValue(""), "");
}

TEST(TextEscape, TerminalKeepsUtf8AndShowsEveryControl) {
    EXPECT_EQ(EscapeForTerminal("C:\\Marvek\\A\xc3\xb1o 5.2 \xe2\x82\xac"), "C:\\\\Marvek\\\\A\xc3\xb1o 5.2 \xe2\x82\xac");
    EXPECT_EQ(EscapeForTerminal("pc\x1b]0;x\x07\r\x08\t\x7f"), "pc\\x1b]0;x\\x07\\x0d\\x08\\x09\\x7f");
    // C1 controls, line and paragraph separators, and direction overrides.
    EXPECT_EQ(EscapeForTerminal("a\xc2\x9b" "b\xe2\x80\xa8" "c\xe2\x80\xae" "d\xe2\x81\xa6" "e\xe2\x80\x8f"),
              "a\\u{009b}b\\u{2028}c\\u{202e}d\\u{2066}e\\u{200f}");
    // Bytes that are not well-formed UTF-8: lone, cut short, overlong, surrogates.
    EXPECT_EQ(EscapeForTerminal("\xff\xc3"), "\\xff\\xc3");
    EXPECT_EQ(EscapeForTerminal("\xc0\xaf\xed\xa0\x80"), "\\xc0\\xaf\\xed\\xa0\\x80");
    EXPECT_EQ(EscapeForTerminal("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
}
