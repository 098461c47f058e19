#include "http/forwarded_for.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

constexpr size_t MaxEntries = 32;  // more hops than that is not a balancer's doing

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsTrusted(const std::string& address, const std::vector<std::string>& trusted) {
    return std::any_of(trusted.begin(), trusted.end(),
                       [&address](const std::string& each) { return CanonicalAddress(each) == address; });
}

}  // namespace

bool IsIpAddress(const std::string& text) { return !CanonicalAddress(text).empty(); }

std::string CanonicalAddress(const std::string& text) {
    unsigned char bytes[16];
    char written[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, written, sizeof written);
    if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) return std::string();
    in6_addr address{};
    std::copy(bytes, bytes + 16, address.s6_addr);
    // An IPv4 peer as a dual-stack socket shows it.
    if (IN6_IS_ADDR_V4MAPPED(&address)) return inet_ntop(AF_INET, bytes + 12, written, sizeof written);
    return inet_ntop(AF_INET6, bytes, written, sizeof written);
}

std::string ClientBehindProxies(const std::string& peer, const std::string& forwardedFor,
                                const std::vector<std::string>& trusted) {
    if (!IsTrusted(CanonicalAddress(peer), trusted) || forwardedFor.empty()) return peer;
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= forwardedFor.size() && entries.size() <= MaxEntries) {
        const size_t comma = std::min(forwardedFor.find(',', start), forwardedFor.size());
        entries.push_back(Trimmed(forwardedFor.substr(start, comma - start)));
        start = comma + 1;
    }
    if (entries.size() > MaxEntries) return peer;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        std::string address = CanonicalAddress(*entry);
        if (address.empty()) return peer;  // a list the balancers did not write
        if (!IsTrusted(address, trusted)) return address;
    }
    return peer;
}
