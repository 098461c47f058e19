#include "rollouts/rollout_cache.h"

#include <algorithm>
#include <chrono>

RolloutCache::RolloutCache(Loader loader, int refreshMs) : loader_(std::move(loader)), refreshMs_(refreshMs) {
    Load(0);
    thread_ = std::thread([this] { Run(); });
}

RolloutCache::~RolloutCache() {
    Stop();
}

void RolloutCache::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::shared_ptr<const Rollout> RolloutCache::OfferingFor(const std::string& product) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& rollout : rollouts_) {
        if (rollout->release.product == product) return rollout;
    }
    return nullptr;
}

bool RolloutCache::FileOf(long long rolloutId, RolloutFile& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = files_.find(rolloutId);
    if (found == files_.end()) return false;
    file = found->second;
    return true;
}

InstallationInRollout RolloutCache::RecordOf(long long rolloutId, const std::string& installationId) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto rollout = reported_.find(rolloutId);
    if (rollout == reported_.end()) return InstallationInRollout();
    const auto found = rollout->second.find(installationId);
    return found == rollout->second.end() ? InstallationInRollout() : found->second;
}

namespace {

// A report on top of what a record shows, unless the record has it already
// (it shows a report at the same millisecond or later).
void Apply(InstallationInRollout& record, int64_t atMs, bool evenIfSeen, bool putBack) {
    record.putBack = record.putBack || putBack;
    if (!evenIfSeen && record.known && record.lastOutcomeMs >= atMs) return;
    record.known = true;
    ++record.outcomes;
    record.lastOutcomeAt = std::max(record.lastOutcomeAt, atMs / 1000);
    record.lastOutcomeMs = std::max(record.lastOutcomeMs, atMs);
}

}  // namespace

void RolloutCache::NoteOutcome(long long rolloutId, const std::string& installationId, int64_t atMs, bool putBack) {
    std::lock_guard<std::mutex> lock(mutex_);
    Apply(reported_[rolloutId][installationId], atMs, true, putBack);
    notes_.push_back(Note{rolloutId, installationId, atMs, std::chrono::steady_clock::now(), putBack});
}

void RolloutCache::Forget(long long rolloutId) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rollouts_.begin(); it != rollouts_.end(); ++it) {
        if ((*it)->id == rolloutId) {
            rollouts_.erase(it);
            break;
        }
    }
    forgotten_.emplace_back(rolloutId, std::chrono::steady_clock::now());
}

void RolloutCache::RefreshNow() {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long long mine = ++asked_;
    wake_.notify_all();
    wake_.wait_for(lock, std::chrono::seconds(5), [&] { return served_ >= mine || stopping_; });
}

void RolloutCache::RefreshSoon() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++asked_;
    wake_.notify_all();
}

void RolloutCache::Load(unsigned long long serving) {
    OfferingState state;
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    const bool ok = loader_(state, error);
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok) {  // a store that cannot be read keeps the last rollouts known
        ReportedInstallations& reported = state.reported;
        rollouts_.clear();
        files_ = std::move(state.files);
        for (Rollout& rollout : state.rollouts) {
            bool stoppedSince = false;
            for (const auto& [id, at] : forgotten_) stoppedSince = stoppedSince || (id == rollout.id && at >= began);
            if (!stoppedSince) rollouts_.push_back(std::make_shared<const Rollout>(std::move(rollout)));
        }
        // Reports noted while the store was being read may be missing from what was read.
        for (const Note& note : notes_) {
            if (note.noted >= began) {
                Apply(reported[note.rolloutId][note.installationId], note.atMs, false, note.putBack);
            }
        }
        reported_ = std::move(reported);
        notes_.erase(std::remove_if(notes_.begin(), notes_.end(), [began](const Note& note) { return note.noted < began; }),
                     notes_.end());
        // What stopped before this load began, this load has seen.
        forgotten_.erase(std::remove_if(forgotten_.begin(), forgotten_.end(),
                                        [began](const auto& entry) { return entry.second < began; }),
                         forgotten_.end());
    }
    served_ = std::max(served_, serving);
    wake_.notify_all();
}

void RolloutCache::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(refreshMs_), [this] { return stopping_ || asked_ > served_; });
        // cppcheck-suppress knownConditionTrueFalse ; Stop() sets it from another thread
        if (stopping_) return;
        const unsigned long long serving = asked_;
        lock.unlock();
        Load(serving);
        lock.lock();
    }
}
