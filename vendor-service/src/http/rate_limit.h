// A token bucket per client address for the agents' POST routes: each
// address may send `burst` requests at once and `perSecond` on average.
// The table is bounded: when it is full, the address idle longest makes
// room (its bucket was full again anyway, or nearly).
//
// Instances behind one balancer share their limits (storage/rate_share.h):
// each hands on what it let through and is charged with what the others
// let through, so an address gets about `perSecond` from all of them
// together, a second late at most.
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
    bool shared = false;  // keeps what was let through, for DrainAdmitted()
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
    // What was let through since the last call, per address (shared limits only).
    std::unordered_map<std::string, int> DrainAdmitted();
    // Requests other instances let through: taken from the address's bucket
    // too, which may go below empty by one burst at most.
    void Charge(const std::string& address, int admitted, Clock::time_point now = Clock::now());

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
    std::unordered_map<std::string, int> admitted_;
};
