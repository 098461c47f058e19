// The network a client address belongs to, for the decisions that must not
// rest on one network: a rollout's stage halts or advances only on outcomes
// from several of them, and each may bring only so many new installations a
// day. And the subscriber an address stands for, for the console's login
// slowing.
//
// Prefixes:
//   - IPv4 /24: the smallest block routed between providers, and what a
//     provider hands an office at most as a rule; a customer with addresses
//     in several /24s is a provider or a cloud tenant paying for each.
//   - IPv6 /48: the largest block a provider gives one site (providers hand
//     out /48, /56 or /60; a tunnel broker gives a /48 for free). At /56 one
//     free /48 would be 256 networks; at /48 it is one, at the price of
//     counting the neighbours of one provider's /48 (up to 256 customers
//     with a /56 each) as one network.
//   - The subscriber: the IPv4 address itself, or the IPv6 /64 (one LAN:
//     a single machine can use all of its 2^64 addresses).
#pragma once
#include <string>

inline constexpr int NetworkBitsIpv4 = 24;
inline constexpr int NetworkBitsIpv6 = 48;
inline constexpr int SubscriberBitsIpv6 = 64;

// "a.b.c.0/24" or "x:x:x::/48" (an IPv4 address mapped into IPv6 counts as
// IPv4); empty when the text is no address.
std::string NetworkOf(const std::string& address);

// "a.b.c.d" or "x:x:x:x::/64"; empty when the text is no address.
std::string SubscriberOf(const std::string& address);
