// The webhook sender: a thread of its own with a connection of its own
// that takes due deliveries from the store's queue (under a lease, so that
// instances sharing a store never send one twice at once), posts each to
// its receiver signed with the receiver's secret, keeps every attempt, and
// tries a failed one again after a pause that doubles from 1 s to 10 min,
// for 24 hours. Woken at once when a rollout stops; else it looks twice a
// second. A receiver sees each delivery's id (X-Trevanto-Entrega): a
// delivery cut short by a stop of the service may come twice.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "storage/database.h"

struct WebhookSettings {
    std::string target;  // the store
    int pollMs = 500;
    int leaseMs = 30000;  // a delivery being sent is another sender's again after this
    int timeoutMs = 10000;  // one attempt, from the first byte to the answer
    int batch = 10;
    int64_t giveUpAfterMs = int64_t{24} * 3600 * 1000;
    // A line for the service's log about each attempt ("delivery=... status=...").
    std::function<void(const std::string& fields)> log;
};

// The pause before attempt `attempts + 1`: 1 s, 2 s, 4 s ... at most 10 min.
int64_t RetryDelayMs(int attempts);

class WebhookSender {
public:
    explicit WebhookSender(WebhookSettings settings) : settings_(std::move(settings)) {}
    ~WebhookSender() { Stop(); }
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    void Start();
    // Look at the queue now (an event was just queued).
    void Wake();
    // Ends the thread within a fraction of a second, an attempt in progress given up.
    void Stop();

private:
    void Run();
    bool SendDue();  // true when it found something to send

    WebhookSettings settings_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stopping_ = false;
    Database db_;  // the sender's own connection, used by its thread alone
    std::thread thread_;
};
