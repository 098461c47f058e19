// The rollouts that may offer, kept in memory for the check-ins and read
// again from the store once a second (or at once after a command), so a
// check-in decides without a query unless its installation is inside a
// stage.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <unordered_map>
#include <string>
#include <thread>
#include <vector>

#include "rollouts/rollout_model.h"

// The installations that reported on each offering rollout, by rollout id.
using ReportedInstallations = std::map<long long, std::unordered_map<std::string, InstallationInRollout>>;

// What the cache reads from the store.
struct OfferingState {
    std::vector<Rollout> rollouts;  // those that may offer
    ReportedInstallations reported;
    std::map<long long, RolloutFile> files;  // every rollout's, by id
};

class RolloutCache {
public:
    using Loader = std::function<bool(OfferingState& state, std::string& error)>;

    RolloutCache(Loader loader, int refreshMs);
    ~RolloutCache();
    RolloutCache(const RolloutCache&) = delete;
    RolloutCache& operator=(const RolloutCache&) = delete;

    // The rollout offering a product's release, or null.
    std::shared_ptr<const Rollout> OfferingFor(const std::string& product);
    // A rollout's package and product (any rollout of the last load); false
    // for a rollout the store did not have then.
    bool FileOf(long long rolloutId, RolloutFile& file);
    // What the store knew of an installation in a rollout at the last
    // load, with the reports this service stored since.
    InstallationInRollout RecordOf(long long rolloutId, const std::string& installationId);
    // A report this service just stored.
    void NoteOutcome(long long rolloutId, const std::string& installationId, int64_t atMs, bool putBack = false);
    // A rollout that just stopped offering (halted or paused): gone at once,
    // before the store is read again.
    void Forget(long long rolloutId);
    // Reads the store again now and waits until it has.
    void RefreshNow();
    // Reads the store again as soon as it can, without waiting.
    void RefreshSoon();
    void Stop();

private:
    void Run();
    void Load(unsigned long long serving);

    Loader loader_;
    int refreshMs_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<const Rollout>> rollouts_;
    ReportedInstallations reported_;
    std::map<long long, RolloutFile> files_;
    // Rollouts stopped, and when: a load that began before that still holds them.
    std::vector<std::pair<long long, std::chrono::steady_clock::time_point>> forgotten_;
    // Reports noted, and when: a load that began before that may not have seen them.
    struct Note {
        long long rolloutId;
        std::string installationId;
        int64_t atMs;
        std::chrono::steady_clock::time_point noted;
        bool putBack;
    };
    std::vector<Note> notes_;
    // Refreshes asked for, and the last of them a finished load began after.
    unsigned long long asked_ = 0;
    unsigned long long served_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};
