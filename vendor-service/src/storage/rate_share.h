// Rate limits held across the instances that share a PostgreSQL store.
// Once a second each instance writes what its limiter let through, per
// address, and charges its own buckets with what the others wrote since it
// last looked. A flood spread over every instance thus gets about one
// limit's worth in all, after a second at most; the requests themselves
// never wait for the store (a store that is gone leaves each instance
// with its own limit).
#pragma once
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "http/rate_limit.h"
#include "storage/database.h"

class RateShare {
public:
    RateShare(std::string target, RateLimiter& limiter, std::string instance)
        : target_(std::move(target)),
          limiter_(limiter),
          instance_(std::move(instance)),
          startedUnix_(static_cast<long long>(std::time(nullptr))) {}
    ~RateShare() { Stop(); }
    RateShare(const RateShare&) = delete;
    RateShare& operator=(const RateShare&) = delete;

    void Start(int everyMs = 1000);
    void Stop();
    // One exchange: what this instance let through out, the others' in.
    // False with the reason; what was let through is then lost, not resent.
    bool Exchange(std::string& error);

private:
    std::string target_;
    RateLimiter& limiter_;
    std::string instance_;
    Database db_;
    long long startedUnix_;
    // Each other instance's rows up to this id are charged. Ids come from one
    // sequence for all, so one instance's row may commit after another's
    // higher one; each instance writes from one thread, so its own commit
    // in the order of their ids.
    std::map<std::string, long long> seen_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
