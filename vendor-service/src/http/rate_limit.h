// A token bucket per client address for the agents' POST routes: each
// address may send `burst` requests at once and `perSecond` on average.
// The table is bounded: when it is full, the address idle longest makes
// room (its bucket was full again anyway, or nearly).
#pragma once
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

struct RateSettings {
    double perSecond = 2;  // 0 switches the limit off
    double burst = 30;
    size_t maxAddresses = 65536;
};

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    explicit RateLimiter(const RateSettings& settings) : settings_(settings) {}

    // Takes one token for the address; false when it has none left.
    bool Take(const std::string& address, Clock::time_point now = Clock::now());
    // Whole seconds until the address has a token again (at least 1).
    int RetryAfterSeconds(const std::string& address, Clock::time_point now = Clock::now());
    size_t TrackedAddresses();

private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point refilled;
        std::list<std::string>::iterator age;  // place in oldest-first order
    };
    Bucket& BucketOf(const std::string& address, Clock::time_point now);

    RateSettings settings_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    std::list<std::string> byAge_;  // least recently used first
};
