#include "service/json_text.h"

#include <gtest/gtest.h>

TEST(JsonEscape, NamedAndNumericEscapes) {
    EXPECT_EQ(JsonEscape("a\tb\"c\x1b"), "a\\tb\\\"c\\u001b");
    EXPECT_EQ(JsonEscape("\\"), "\\\\");
    EXPECT_EQ(JsonEscape("\b\f\n\r"), "\\b\\f\\n\\r");
    EXPECT_EQ(JsonEscape(std::string("\x00\x01\x1f", 3)), "\\u0000\\u0001\\u001f");
}

TEST(JsonEscape, PassesEverythingElse) {
    EXPECT_EQ(JsonEscape("/"), "/");
    EXPECT_EQ(JsonEscape("\xc3\xbc"), "\xc3\xbc");  // u with diaeresis in UTF-8
    EXPECT_EQ(JsonEscape("\x7f\x80\xff"), "\x7f\x80\xff");
    EXPECT_EQ(JsonEscape(" ~"), " ~");
    EXPECT_EQ(JsonEscape(""), "");
}
