#include "webhooks/webhook_sender.h"

#include <chrono>
#include <vector>

#include "storage/store.h"
#include "webhooks/webhook_client.h"
#include "webhooks/webhook_queue.h"

namespace {

constexpr int64_t FirstRetryMs = 1000;
constexpr int64_t LastRetryMs = 600000;
constexpr int ReaderBusyMs = 2000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int64_t RetryDelayMs(int attempts) {
    int64_t delay = FirstRetryMs;
    for (int i = 1; i < attempts && delay < LastRetryMs; ++i) delay *= 2;
    return std::min(delay, LastRetryMs);
}

void WebhookSender::Start() {
    thread_ = std::thread([this] { Run(); });
}

void WebhookSender::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

void WebhookSender::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (db_.IsOpen()) db_.close();
    db_ = Database();
}

void WebhookSender::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        woken_ = false;
        lock.unlock();
        const bool busy = SendDue();
        lock.lock();
        if (!busy) {
            wake_.wait_for(lock, std::chrono::milliseconds(settings_.pollMs), [this] { return stopping_ || woken_; });
        }
    }
}

bool WebhookSender::SendDue() {
    std::string error;
    if (!db_.IsOpen() && !OpenDatabase(settings_.target, false, ReaderBusyMs, db_, error)) {
        db_ = Database();
        return false;
    }
    const Database& db = db_;
    std::vector<Delivery> deliveries;
    const int64_t now = NowMs();
    if (!ClaimDueDeliveries(db, now, now + settings_.leaseMs, settings_.batch, deliveries, error)) {
        db_.close();  // opened again at the next look
        db_ = Database();
        return false;
    }
    const auto stopping = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    };
    for (const Delivery& delivery : deliveries) {
        if (stopping()) break;  // its lease runs out, and a sender takes it again
        AttemptResult attempt;
        const int64_t started = NowMs();
        if (delivery.webhookId == 0) {
            attempt.error = "aviso eliminado";
        } else {
            const std::vector<HeaderField> headers = {{"X-Trevanto-Evento", delivery.event},
                                                      {"X-Trevanto-Entrega", std::to_string(delivery.id)},
                                                      {"X-Trevanto-Firma", WebhookSignature(delivery.secret, delivery.body)}};
            const ReceiverAnswer answer =
                PostToReceiver(delivery.url, headers, delivery.body, settings_.timeoutMs, stopping);
            attempt.status = answer.status;
            attempt.error = answer.error;
        }
        const int64_t finished = NowMs();
        attempt.ms = finished - started;
        const bool givingUp = delivery.webhookId == 0 || finished - delivery.createdMs >= settings_.giveUpAfterMs;
        const int64_t next = givingUp ? 0 : finished + RetryDelayMs(delivery.attempts + 1);
        RecordAttempt(db, delivery, attempt, finished, next, error);
        if (settings_.log) {
            settings_.log("delivery=" + std::to_string(delivery.id) + " event=" + delivery.event +
                          " status=" + std::to_string(attempt.status) + " ms=" + std::to_string(attempt.ms));
        }
    }
    return !deliveries.empty();
}
