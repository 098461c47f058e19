#include "update/package_hash_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// SHA-256 of "abc".
const std::string Abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

TEST(Sha256Matches, CaseInsensitiveAndMalformedNeverMatches) {
    struct Row {
        std::string expected;
        bool wellFormed;
        bool matches;
    };
    const Row rows[] = {
        {Abc, true, true},
        {Upper(Abc), true, true},
        {"BA7816bf8F01CFEA414140de5dae2223b00361a396177a9cb410ff61f20015AD", true, true},
        {"ca7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", true, false},
        {Abc.substr(0, 63), false, false},
        {Abc + "0", false, false},
        {Abc.substr(0, 63) + "g", false, false},
        {" " + Abc.substr(1), false, false},
        {"", false, false},
        {std::string(64, '0'), true, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsSha256Text(row.expected), row.wellFormed) << row.expected;
        EXPECT_EQ(Sha256Matches(row.expected, Abc), row.matches) << row.expected;
    }
}

TEST(LowerHex, TwoLowerCaseDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5C};
    EXPECT_EQ(LowerHex(bytes, sizeof bytes), "000fa0ff5c");
    EXPECT_EQ(LowerHex(bytes, 0), "");
}
