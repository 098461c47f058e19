#include "http/byte_range.h"

#include <gtest/gtest.h>

TEST(DecideRange, OneByteRangeOrTheWholeFile) {
    struct Case {
        const char* header;
        uint64_t size;
        int status;
        uint64_t first;
        uint64_t last;
        const char* contentRange;
    };
    const Case cases[] = {
        {"", 1000, 200, 0, 999, ""},
        {"bytes=0-", 1000, 206, 0, 999, "bytes 0-999/1000"},
        {"bytes=100-", 1000, 206, 100, 999, "bytes 100-999/1000"},
        {"bytes=100-199", 1000, 206, 100, 199, "bytes 100-199/1000"},
        {"bytes=100-100", 1000, 206, 100, 100, "bytes 100-100/1000"},
        {"bytes=100-5000", 1000, 206, 100, 999, "bytes 100-999/1000"},
        {"bytes=999-", 1000, 206, 999, 999, "bytes 999-999/1000"},
        {"bytes=1000-", 1000, 416, 0, 999, "bytes */1000"},
        {"bytes=1000-1200", 1000, 416, 0, 999, "bytes */1000"},
        {"bytes=99999999999999999999999-", 1000, 416, 0, 999, "bytes */1000"},
        {"bytes=0-", 0, 416, 0, 0, "bytes */0"},
        {"bytes=5-2", 1000, 200, 0, 999, ""},
        {"bytes=-100", 1000, 200, 0, 999, ""},
        {"bytes=0-1,5-6", 1000, 200, 0, 999, ""},
        {"bytes=abc", 1000, 200, 0, 999, ""},
        {"bytes=", 1000, 200, 0, 999, ""},
        {"bytes=1", 1000, 200, 0, 999, ""},
        {"bytes= 1-", 1000, 200, 0, 999, ""},
        {"items=1-2", 1000, 200, 0, 999, ""},
    };
    for (const Case& c : cases) {
        const RangeDecision d = DecideRange(c.header, c.size);
        EXPECT_EQ(d.status, c.status) << c.header;
        EXPECT_EQ(d.first, c.first) << c.header;
        EXPECT_EQ(d.last, c.last) << c.header;
        EXPECT_EQ(d.contentRange, c.contentRange) << c.header;
    }
}
