#include "http/rate_limit.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(RateLimit, BurstThenTheSustainedRatePerAddress) {
    RateLimiter limiter(RateSettings{2, 5, 100});
    const auto start = RateLimiter::Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(limiter.Take("10.0.0.1", start)) << i;
    EXPECT_FALSE(limiter.Take("10.0.0.1", start));
    EXPECT_EQ(limiter.RetryAfterSeconds("10.0.0.1", start), 1);
    EXPECT_TRUE(limiter.Take("10.0.0.2", start));  // each address has its own bucket
    // Two tokens a second: one after 500 ms, and never more than the burst.
    EXPECT_FALSE(limiter.Take("10.0.0.1", start + 400ms));
    EXPECT_TRUE(limiter.Take("10.0.0.1", start + 520ms));
    EXPECT_FALSE(limiter.Take("10.0.0.1", start + 530ms));
    int taken = 0;
    while (limiter.Take("10.0.0.1", start + 1h)) ++taken;
    EXPECT_EQ(taken, 5);

    RateLimiter off(RateSettings{0, 1, 100});
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(off.Take("10.0.0.1", start));
}

TEST(RateLimit, TheTableOfAddressesIsBounded) {
    RateLimiter limiter(RateSettings{1, 2, 3});
    const auto now = RateLimiter::Clock::now();
    EXPECT_TRUE(limiter.Take("a", now));
    EXPECT_TRUE(limiter.Take("a", now));
    EXPECT_FALSE(limiter.Take("a", now));
    for (const char* address : {"b", "c", "d", "e"}) limiter.Take(address, now);
    EXPECT_EQ(limiter.TrackedAddresses(), 3u);
    // "a" was the least recently seen and made room; it starts over full.
    EXPECT_TRUE(limiter.Take("a", now));
    EXPECT_EQ(limiter.TrackedAddresses(), 3u);
}

TEST(RateLimit, SharedLimitsHandOnWhatWasLetThroughAndTakeTheOthersCharges) {
    RateLimiter limiter(RateSettings{1, 4, 100, true});
    const auto now = RateLimiter::Clock::now();
    EXPECT_TRUE(limiter.Take("10.0.0.1", now));
    EXPECT_TRUE(limiter.Take("10.0.0.1", now));
    EXPECT_TRUE(limiter.Take("10.0.0.2", now));
    const auto drained = limiter.DrainAdmitted();
    EXPECT_EQ(drained, (std::unordered_map<std::string, int>{{"10.0.0.1", 2}, {"10.0.0.2", 1}}));
    EXPECT_TRUE(limiter.DrainAdmitted().empty());
    // Another instance let 10.0.0.2 through 30 times: its bucket is a burst
    // below empty, so it waits for 4 + 1 tokens, not 31.
    limiter.Charge("10.0.0.2", 30, now);
    EXPECT_FALSE(limiter.Take("10.0.0.2", now + std::chrono::milliseconds(4900)));
    EXPECT_TRUE(limiter.Take("10.0.0.2", now + std::chrono::milliseconds(5100)));
    // What it refuses is not handed on.
    EXPECT_EQ(limiter.DrainAdmitted(), (std::unordered_map<std::string, int>{{"10.0.0.2", 1}}));
    RateLimiter alone(RateSettings{1, 4, 100});
    EXPECT_TRUE(alone.Take("10.0.0.1", now));
    EXPECT_TRUE(alone.DrainAdmitted().empty());
}
