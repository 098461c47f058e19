#include "http/network_prefix.h"

#include <gtest/gtest.h>

TEST(NetworkPrefix, ClientsFallIntoTheirNetworkAndSubscriber) {
    EXPECT_EQ(NetworkOf("203.0.113.77"), "203.0.113.0/24");
    EXPECT_EQ(NetworkOf("203.0.113.0"), NetworkOf("203.0.113.255"));
    EXPECT_NE(NetworkOf("203.0.113.1"), NetworkOf("203.0.114.1"));
    // An IPv4 client seen through a dual-stack socket is the same network.
    EXPECT_EQ(NetworkOf("::ffff:203.0.113.9"), "203.0.113.0/24");
    // IPv6: a whole /48 is one network, in any spelling.
    EXPECT_EQ(NetworkOf("2001:db8:abcd:12:34::1"), "2001:db8:abcd::/48");
    EXPECT_EQ(NetworkOf("2001:DB8:ABCD:FFFF:FFFF:FFFF:FFFF:FFFF"), "2001:db8:abcd::/48");
    EXPECT_NE(NetworkOf("2001:db8:abcd::1"), NetworkOf("2001:db8:abce::1"));
    EXPECT_EQ(NetworkOf("::1"), "::/48");
    EXPECT_EQ(SubscriberOf("203.0.113.77"), "203.0.113.77");
    EXPECT_EQ(SubscriberOf("2001:db8:abcd:12:34::1"), "2001:db8:abcd:12::/64");
    EXPECT_EQ(SubscriberOf("2001:db8:abcd:12:ffff::9"), SubscriberOf("2001:db8:abcd:12::1"));
    for (const char* bad : {"", "pc-1", "203.0.113", "203.0.113.1/24", "1.2.3.4 ", "2001:db8::1%eth0", "::g"}) {
        EXPECT_EQ(NetworkOf(bad), "") << bad;
        EXPECT_EQ(SubscriberOf(bad), "") << bad;
    }
}
