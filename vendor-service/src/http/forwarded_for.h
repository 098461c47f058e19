// The client's address behind a load balancer. Only a peer the service was
// told to trust may name the client, in X-Forwarded-For; anyone else's
// header is ignored. Balancers append the address they saw, so the list is
// read from its end: the first address there that is not a trusted
// balancer is the client (what a client wrote at the front itself is
// never taken).
#pragma once
#include <string>
#include <vector>

// An IPv4 or IPv6 address in its usual text form, nothing else.
bool IsIpAddress(const std::string& text);

// The address in one spelling (IPv6 compressed in lower case, an IPv4
// address mapped into IPv6 as IPv4), so that two spellings compare equal;
// empty when it is none.
std::string CanonicalAddress(const std::string& text);

// `peer` itself unless it is one of `trusted` and `forwardedFor` names a
// valid address beyond the trusted ones.
std::string ClientBehindProxies(const std::string& peer, const std::string& forwardedFor,
                                const std::vector<std::string>& trusted);
