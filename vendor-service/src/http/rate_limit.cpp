#include "http/rate_limit.h"

#include <algorithm>
#include <cmath>

RateLimiter::Bucket& RateLimiter::BucketOf(const std::string& address, Clock::time_point now) {
    auto found = buckets_.find(address);
    if (found == buckets_.end()) {
        if (buckets_.size() >= settings_.maxAddresses && !byAge_.empty()) {
            buckets_.erase(byAge_.front());
            byAge_.pop_front();
        }
        byAge_.push_back(address);
        Bucket fresh;
        fresh.tokens = settings_.burst;
        fresh.refilled = now;
        fresh.age = std::prev(byAge_.end());
        found = buckets_.emplace(address, fresh).first;
    } else {
        byAge_.splice(byAge_.end(), byAge_, found->second.age);
    }
    Bucket& bucket = found->second;
    const double elapsed = std::chrono::duration<double>(now - bucket.refilled).count();
    if (elapsed > 0) {
        bucket.tokens = std::min(settings_.burst, bucket.tokens + elapsed * settings_.perSecond);
        bucket.refilled = now;
    }
    return bucket;
}

bool RateLimiter::Take(const std::string& address, Clock::time_point now) {
    if (settings_.perSecond <= 0) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    Bucket& bucket = BucketOf(address, now);
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    if (settings_.shared) ++admitted_[address];
    return true;
}

std::unordered_map<std::string, int> RateLimiter::DrainAdmitted() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unordered_map<std::string, int> drained;
    drained.swap(admitted_);
    return drained;
}

void RateLimiter::Charge(const std::string& address, int admitted, Clock::time_point now) {
    if (settings_.perSecond <= 0 || admitted <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Bucket& bucket = BucketOf(address, now);
    bucket.tokens = std::max(-settings_.burst, bucket.tokens - admitted);
}

int RateLimiter::RetryAfterSeconds(const std::string& address, Clock::time_point now) {
    if (settings_.perSecond <= 0) return 1;
    std::lock_guard<std::mutex> lock(mutex_);
    const Bucket& bucket = BucketOf(address, now);
    const double wait = (1 - bucket.tokens) / settings_.perSecond;
    return std::max(1, static_cast<int>(std::ceil(wait)));
}

size_t RateLimiter::TrackedAddresses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buckets_.size();
}
