#include "console/login_limiter.h"

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

#include "http/network_prefix.h"
#include "http/text_escape.h"

namespace {

std::string Digest(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return LowerHex(digest, 16);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

LoginKeys KeysOfLogin(const std::string& name, const std::string& clientAddress) {
    const std::string user = Lower(name);
    return LoginKeys{Digest("direccion\n" + SubscriberOf(clientAddress)),
                     Digest("usuario-red\n" + user + "\n" + NetworkOf(clientAddress)), Digest("usuario\n" + user)};
}

int LoginLimiter::WaitOf(const std::string& key, int64_t now) const {
    const auto found = records_.find(key);
    if (found == records_.end() || found->second.allowedAt <= now) return 0;
    return static_cast<int>(found->second.allowedAt - now);
}

// Room for `needed` new keys: forgotten keys go first, then those whose wait
// is over, longest without a failure first; a waiting key stays. False with
// the wait until the first one ends when there is no room.
bool LoginLimiter::MakeRoom(const LoginKeys& keys, size_t needed, int64_t now, int& wait) {
    if (records_.size() + needed <= rules_.maxKeys) return true;
    std::vector<std::pair<int64_t, std::string>> idle;
    int64_t firstEnd = INT64_MAX;
    for (auto it = records_.begin(); it != records_.end();) {
        const bool own = it->first == keys.address || it->first == keys.nameFromNetwork || it->first == keys.name;
        if (own) {
            ++it;
            continue;
        }
        if (it->second.allowedAt <= now && it->second.lastFailure < now - rules_.forgetSeconds) {
            it = records_.erase(it);
            continue;
        }
        if (it->second.allowedAt <= now) {
            idle.emplace_back(it->second.lastFailure, it->first);
        } else {
            firstEnd = std::min(firstEnd, it->second.allowedAt);
        }
        ++it;
    }
    // A tenth of the table at once, so that a full table is not searched at every attempt.
    const size_t target = rules_.maxKeys - std::max(needed, rules_.maxKeys / 10);
    if (records_.size() > target) {
        const size_t excess = std::min(records_.size() - target, idle.size());
        std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(excess), idle.end());
        for (size_t i = 0; i < excess; ++i) records_.erase(idle[i].second);
    }
    if (records_.size() + needed <= rules_.maxKeys) return true;
    wait = static_cast<int>(std::max<int64_t>(1, firstEnd == INT64_MAX ? 1 : firstEnd - now));
    return false;
}

void LoginLimiter::Count(const std::string& key, int freeFailures, int maxWait, int64_t now) {
    Record& record = records_[key];
    if (record.lastFailure < now - rules_.forgetSeconds && record.allowedAt <= now) record.failures = 0;
    ++record.failures;
    record.lastFailure = now;
    if (record.failures >= freeFailures) {
        const int doublings = std::min(record.failures - freeFailures, 20);
        record.allowedAt = now + std::min<int64_t>(int64_t{rules_.firstWaitSeconds} << doublings, maxWait);
    }
}

int LoginLimiter::Begin(const LoginKeys& keys, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int wait = std::max({WaitOf(keys.address, now), WaitOf(keys.nameFromNetwork, now), WaitOf(keys.name, now)});
    if (wait > 0) return wait;
    size_t needed = 0;
    for (const std::string* key : {&keys.address, &keys.nameFromNetwork, &keys.name}) {
        needed += records_.count(*key) == 0 ? 1 : 0;
    }
    int full = 0;
    if (!MakeRoom(keys, needed, now, full)) return full;
    Count(keys.address, rules_.freeFailures, rules_.maxWaitSeconds, now);
    Count(keys.nameFromNetwork, rules_.freeFailures, rules_.maxWaitSeconds, now);
    Count(keys.name, rules_.nameFreeFailures, rules_.nameMaxWaitSeconds, now);
    return 0;
}

void LoginLimiter::Succeeded(const LoginKeys& keys) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(keys.address);
    records_.erase(keys.nameFromNetwork);
    records_.erase(keys.name);
}

size_t LoginLimiter::Keys() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}
