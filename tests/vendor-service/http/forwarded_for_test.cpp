#include "http/forwarded_for.h"

#include <gtest/gtest.h>

TEST(ForwardedFor, OnlyTrustedBalancersNameTheClientFromTheListsEnd) {
    const std::vector<std::string> balancers = {"127.0.0.1", "10.0.0.2"};
    // A stranger's own header counts for nothing.
    EXPECT_EQ(ClientBehindProxies("203.0.113.9", "198.51.100.1", balancers), "203.0.113.9");
    // Through one balancer: the address it appended.
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "198.51.100.7", balancers), "198.51.100.7");
    // A client that wrote a header of its own: the balancer's entry (the last) wins.
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "1.2.3.4, 198.51.100.7", balancers), "198.51.100.7");
    // Two balancers in a row are stepped over, IPv6 too.
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "2001:db8::5,10.0.0.2", balancers), "2001:db8::5");
    // No header, nothing but balancers, or something that is not an address: the peer.
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "", balancers), "127.0.0.1");
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "10.0.0.2", balancers), "127.0.0.1");
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "198.51.100.7, unknown", balancers), "127.0.0.1");
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "198.51.100.7:5000", balancers), "127.0.0.1");
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "198.51.100.7,", balancers), "127.0.0.1");
    std::string many;
    for (int i = 0; i < 40; ++i) many += "198.51.100." + std::to_string(i) + ",";
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", many + "198.51.100.99", balancers), "127.0.0.1");
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "198.51.100.7", {}), "127.0.0.1");
    // One spelling of each address, an IPv4 peer as IPv6 maps it included.
    EXPECT_EQ(ClientBehindProxies("::ffff:10.0.0.2", "198.51.100.7", balancers), "198.51.100.7");
    EXPECT_EQ(ClientBehindProxies("127.0.0.1", "2001:DB8:0:0::5, ::ffff:10.0.0.2", balancers), "2001:db8::5");
    EXPECT_EQ(CanonicalAddress("::FFFF:198.51.100.7"), "198.51.100.7");
    EXPECT_EQ(CanonicalAddress("198.51.100.7 "), "");
    EXPECT_TRUE(IsIpAddress("::1"));
    EXPECT_FALSE(IsIpAddress("1.2.3"));
    EXPECT_FALSE(IsIpAddress(" 1.2.3.4"));
}
