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
    return std::find(trusted.begin(), trusted.end(), address) != trusted.end();
}

}  // namespace

bool IsIpAddress(const std::string& text) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

std::string ClientBehindProxies(const std::string& peer, const std::string& forwardedFor,
                                const std::vector<std::string>& trusted) {
    if (!IsTrusted(peer, trusted) || forwardedFor.empty()) return peer;
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= forwardedFor.size() && entries.size() <= MaxEntries) {
        const size_t comma = std::min(forwardedFor.find(',', start), forwardedFor.size());
        entries.push_back(Trimmed(forwardedFor.substr(start, comma - start)));
        start = comma + 1;
    }
    if (entries.size() > MaxEntries) return peer;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (!IsIpAddress(*entry)) return peer;  // a list the balancers did not write
        if (!IsTrusted(*entry, trusted)) return *entry;
    }
    return peer;
}
