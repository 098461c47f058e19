#include "http/network_prefix.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

// The first `bits` of the address, the rest zero, written with its length;
// empty when the text is no address.
std::string Prefix(const std::string& address, int v4Bits, int v6Bits) {
    unsigned char bytes[16] = {};
    char written[INET6_ADDRSTRLEN];
    int family = AF_INET;
    int bits = v4Bits;
    size_t size = 4;
    if (inet_pton(AF_INET, address.c_str(), bytes) != 1) {
        if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return std::string();
        in6_addr six{};
        std::copy(bytes, bytes + 16, six.s6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&six)) {
            std::copy(bytes + 12, bytes + 16, bytes);
        } else {
            family = AF_INET6;
            bits = v6Bits;
            size = 16;
        }
    }
    for (size_t i = 0; i < size; ++i) {
        const int kept = std::clamp(bits - static_cast<int>(8 * i), 0, 8);
        bytes[i] = static_cast<unsigned char>(bytes[i] & (0xFF00 >> kept));
    }
    if (inet_ntop(family, bytes, written, sizeof written) == nullptr) return std::string();
    const int whole = family == AF_INET ? 32 : 128;
    return bits >= whole ? std::string(written) : std::string(written) + "/" + std::to_string(bits);
}

}  // namespace

std::string NetworkOf(const std::string& address) {
    return Prefix(address, NetworkBitsIpv4, NetworkBitsIpv6);
}

std::string SubscriberOf(const std::string& address) {
    return Prefix(address, 32, SubscriberBitsIpv6);
}
