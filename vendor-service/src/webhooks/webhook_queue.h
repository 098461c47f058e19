// Webhooks in the store: the vendor's receivers, and a queue of
// deliveries. An event is queued (one delivery per receiver that wants it)
// in the same transaction as the change it tells of, so a halt committed
// is a halt told, however often the service stops and starts; senders of
// any instance take due deliveries under a lease, and every attempt is
// kept.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "rollouts/rollout_model.h"
#include "storage/database.h"

namespace webhook_event {
inline constexpr char Halted[] = "despliegue.detenido";
inline constexpr char Advanced[] = "despliegue.avanzado";  // a stage passed, or the rollout finished
inline constexpr char Test[] = "prueba";
}  // namespace webhook_event

namespace delivery_state {
inline constexpr char Pending[] = "PENDIENTE";
inline constexpr char Delivered[] = "ENTREGADO";
inline constexpr char Failed[] = "FALLIDO";  // given up: the receiver never took it in time
}  // namespace delivery_state

// The JSON body of a rollout's event (what the signature covers).
std::string RolloutEventBody(const Rollout& rollout, const std::string& event, const std::string& status,
                             const std::string& detail, const std::string& actor, int64_t unixSeconds);

// Queues the event for every active receiver that wants it, in the open transaction.
SqlResult QueueWebhookEvent(const Database& db, const std::string& event, long long rolloutId, const std::string& body,
                            int64_t nowMs);

// A rollout's change told to the receivers (in the open transaction).
SqlResult QueueRolloutNews(const Database& db, const Rollout& rollout, const std::string& event,
                           const std::string& status, const std::string& detail, const std::string& actor,
                           int64_t unixSeconds);

// ---- the receivers, as the console manages them ---------------------------------

struct Webhook {
    long long id = 0;
    std::string url;
    std::string events;  // comma-separated event names
    bool active = true;
    std::string createdBy;
    std::string createdAt;
};

// An address a receiver may have: http:// or https://, a host, no blank
// or control character, at most 2048 bytes. False with the reason.
bool IsWebhookUrl(const std::string& url, std::string& reason);

// Adds a receiver with a new secret (given back to show once).
bool AddWebhook(const Database& db, Webhook& webhook, std::string& secret, std::string& error);
// A new secret for a receiver (given back to show once).
bool RenewWebhookSecret(const Database& db, long long id, std::string& secret, std::string& error);
bool SetWebhookActive(const Database& db, long long id, bool active, std::string& error);
// Removes a receiver; its deliveries still waiting are given up.
bool RemoveWebhook(const Database& db, long long id, std::string& error);
bool LoadWebhooks(const Database& db, std::vector<Webhook>& webhooks, std::string& error);
// A test event for one receiver.
bool QueueTestEvent(const Database& db, long long webhookId, const std::string& actor, std::string& error);

// ---- what a sender does ------------------------------------------------------------

struct Delivery {
    long long id = 0;
    long long webhookId = 0;  // 0: its receiver was removed
    std::string url;
    std::string secret;
    std::string event;
    std::string body;
    int attempts = 0;
    int64_t createdMs = 0;
};

// Takes up to `count` deliveries that are due, each under a lease until
// `leaseUntilMs` (another sender takes it only once the lease is over).
bool ClaimDueDeliveries(const Database& db, int64_t nowMs, int64_t leaseUntilMs, int count,
                        std::vector<Delivery>& deliveries, std::string& error);

struct AttemptResult {
    int status = 0;     // the receiver's HTTP status; 0 when none came
    std::string error;  // why it failed, when it did
    int64_t ms = 0;     // how long the attempt took
};

// How many finished deliveries (delivered or given up) the store keeps,
// with their attempts: the newest.
inline constexpr long long KeptFinishedDeliveries = 2000;

// Keeps the attempt and moves the delivery on: delivered (a 2xx answer),
// tried again at `nextAttemptMs`, or given up when that is 0. A delivery
// that finishes drops the oldest finished ones beyond the newest
// KeptFinishedDeliveries.
bool RecordAttempt(const Database& db, const Delivery& delivery, const AttemptResult& attempt, int64_t nowMs,
                   int64_t nextAttemptMs, std::string& error);

// Drops finished deliveries and their attempts but the newest `keep` (in the open transaction).
SqlResult TrimFinishedDeliveries(const Database& db, long long keep);
