#include "net/download_progress.h"

#include <cctype>

std::atomic<std::int32_t> DownloadProgress{0};

long long ParseContentLength(const char* text) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v') ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*text))) {
        if (value > (1LL << 53)) break;  // far beyond any 32-bit length; stop growing
        value = value * 10 + (*text++ - '0');
    }
    return negative ? -value : value;
}

std::int32_t TransferProgress(std::uint32_t total, std::uint64_t length) {
    if (length == 0) return 0;
    return static_cast<std::int32_t>(static_cast<std::uint64_t>(total) * 70u / length);
}
