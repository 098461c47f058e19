#include "webhooks/webhook_queue.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "console/accounts.h"
#include "rollouts/rollout_rules.h"
#include "storage/stored_time.h"

namespace {

constexpr size_t MaxUrlBytes = 2048;
constexpr size_t MaxErrorBytes = 512;

constexpr char Queue[] =
    "INSERT INTO webhook_deliveries (webhook_id, event, rollout_id, body, created_at, created_ms, state,"
    " next_attempt_ms) SELECT id, CAST(?1 AS TEXT), CAST(?2 AS BIGINT), CAST(?3 AS TEXT), CAST(?4 AS TEXT),"
    " CAST(?5 AS BIGINT), 'PENDIENTE', CAST(?5 AS BIGINT) FROM webhooks"
    " WHERE active = 1 AND (',' || events || ',') LIKE ('%,' || ?1 || ',%')";
constexpr char QueueOne[] =
    "INSERT INTO webhook_deliveries (webhook_id, event, rollout_id, body, created_at, created_ms, state,"
    " next_attempt_ms) VALUES (?1, ?2, 0, ?3, ?4, ?5, 'PENDIENTE', ?5)";
constexpr char AddOne[] =
    "INSERT INTO webhooks (url, secret, events, active, created_by, created_at) VALUES (?1, ?2, ?3, 1, ?4, ?5)"
    " RETURNING id";
constexpr char NewSecret[] = "UPDATE webhooks SET secret = ?2 WHERE id = ?1";
constexpr char SetActive[] = "UPDATE webhooks SET active = ?2 WHERE id = ?1";
constexpr char GiveUpPending[] =
    "UPDATE webhook_deliveries SET state = 'FALLIDO', last_error = 'aviso eliminado' WHERE webhook_id = ?1"
    " AND state = 'PENDIENTE'";
constexpr char RemoveOne[] = "DELETE FROM webhooks WHERE id = ?1";
constexpr char AllWebhooks[] =
    "SELECT id, url, events, active, created_by, created_at FROM webhooks ORDER BY id";
constexpr char Due[] =
    "SELECT id FROM webhook_deliveries WHERE state = 'PENDIENTE' AND next_attempt_ms <= ?1 AND lease_until_ms <= ?1"
    " ORDER BY next_attempt_ms, id LIMIT ?2";
constexpr char Lease[] =
    "UPDATE webhook_deliveries SET lease_until_ms = ?2 WHERE id = ?1 AND state = 'PENDIENTE' AND lease_until_ms <= ?3";
constexpr char Leased[] =
    "SELECT d.id, COALESCE(w.id, 0), COALESCE(w.url, ''), COALESCE(w.secret, ''), d.event, d.body, d.attempts,"
    " d.created_ms FROM webhook_deliveries d LEFT JOIN webhooks w ON w.id = d.webhook_id WHERE d.id = ?1";
constexpr char AddAttempt[] =
    "INSERT INTO webhook_attempts (delivery_id, at, status, error, ms) VALUES (?1, ?2, ?3, ?4, ?5)";
constexpr char MoveOn[] =
    "UPDATE webhook_deliveries SET attempts = attempts + 1, state = ?2, next_attempt_ms = ?3, lease_until_ms = 0,"
    " last_status = ?4, last_error = ?5, delivered_at = ?6 WHERE id = ?1";
constexpr char NthNewestFinished[] =
    "SELECT id FROM webhook_deliveries WHERE state <> 'PENDIENTE' ORDER BY id DESC LIMIT 1 OFFSET ?1";
constexpr char DropOldAttempts[] =
    "DELETE FROM webhook_attempts WHERE delivery_id IN"
    " (SELECT id FROM webhook_deliveries WHERE state <> 'PENDIENTE' AND id <= ?1)";
constexpr char DropOldDeliveries[] = "DELETE FROM webhook_deliveries WHERE state <> 'PENDIENTE' AND id <= ?1";

bool Done(const SqlResult& result, std::string& error) {
    if (!result.Ok()) error = result.error;
    return result.Ok();
}

// Runs `steps` in one transaction; false with the error of the first that failed.
template <class Steps>
bool InTransaction(const Database& db, std::string& error, Steps steps) {
    SqlResult result = Begin(db);
    if (result.Ok()) result = steps();
    if (result.Ok()) result = Commit(db);
    if (!result.Ok()) Rollback(db);
    return Done(result, error);
}

}  // namespace

std::string RolloutEventBody(const Rollout& rollout, const std::string& event, const std::string& status,
                             const std::string& detail, const std::string& actor, int64_t unixSeconds) {
    using Json = nlohmann::ordered_json;
    const auto& stages = rollout.settings.stages;
    const size_t stage = static_cast<size_t>(std::max(0, rollout.currentStage));
    const Json json = {{"evento", event},
                       {"despliegue", rollout.id},
                       {"producto", rollout.release.product},
                       {"version", rollout.release.version},
                       {"estado", status},
                       {"etapa", stage < stages.size() ? StageName(stages[stage]) : std::string()},
                       {"detalle", detail},
                       {"quien", actor},
                       {"cuando", UtcText(unixSeconds)},
                       {"enlace", "/panel/despliegues/" + std::to_string(rollout.id)}};
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

SqlResult QueueWebhookEvent(const Database& db, const std::string& event, long long rolloutId, const std::string& body,
                            int64_t nowMs) {
    return db.Run(Queue, {Text(event), Int(rolloutId), Text(body), Text(UtcText(nowMs / 1000)), Int(nowMs)});
}

SqlResult QueueRolloutNews(const Database& db, const Rollout& rollout, const std::string& event,
                           const std::string& status, const std::string& detail, const std::string& actor,
                           int64_t unixSeconds) {
    return QueueWebhookEvent(db, event, rollout.id,
                             RolloutEventBody(rollout, event, status, detail, actor, unixSeconds),
                             unixSeconds * 1000);
}

bool IsWebhookUrl(const std::string& url, std::string& reason) {
    const size_t scheme = url.rfind("https://", 0) == 0 ? 8 : (url.rfind("http://", 0) == 0 ? 7 : 0);
    if (scheme == 0) {
        reason = "la dirección debe empezar por https:// (o http:// en una red propia)";
        return false;
    }
    if (url.size() > MaxUrlBytes) {
        reason = "la dirección supera los 2.048 bytes";
        return false;
    }
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || c == '"' || c == '<' || c == '>' || c == '\\') {
            reason = "la dirección no puede llevar blancos, comillas ni caracteres de control";
            return false;
        }
    }
    const std::string rest = url.substr(scheme);
    const size_t hostEnd = rest.find_first_of("/?#");
    if (rest.substr(0, hostEnd).empty() || rest.substr(0, hostEnd).find('@') != std::string::npos) {
        reason = "la dirección debe nombrar un servidor (sin usuario ni clave)";
        return false;
    }
    return true;
}

bool AddWebhook(const Database& db, Webhook& webhook, std::string& secret, std::string& error) {
    secret = RandomToken();
    webhook.createdAt = UtcText(std::time(nullptr));
    if (secret.empty()) {
        error = "no hay aleatoriedad para el secreto";
        return false;
    }
    const SqlResult result = db.Run(AddOne, {Text(webhook.url), Text(secret), Text(webhook.events),
                                             Text(webhook.createdBy), Text(webhook.createdAt)});
    if (!Done(result, error) || result.rows.empty()) return false;
    webhook.id = result.rows[0].Int(0);
    return true;
}

bool RenewWebhookSecret(const Database& db, long long id, std::string& secret, std::string& error) {
    secret = RandomToken();
    const SqlResult result = db.Run(NewSecret, {Int(id), Text(secret)});
    if (!Done(result, error)) return false;
    if (result.changes == 0) error = "no existe ese aviso";
    return result.changes > 0;
}

bool SetWebhookActive(const Database& db, long long id, bool active, std::string& error) {
    const SqlResult result = db.Run(SetActive, {Int(id), Int(active ? 1 : 0)});
    if (!Done(result, error)) return false;
    if (result.changes == 0) error = "no existe ese aviso";
    return result.changes > 0;
}

bool RemoveWebhook(const Database& db, long long id, std::string& error) {
    long long removed = 0;
    const bool done = InTransaction(db, error, [&] {
        SqlResult result = db.Run(GiveUpPending, {Int(id)});
        if (result.Ok()) result = db.Run(RemoveOne, {Int(id)});
        removed = result.changes;
        return result;
    });
    if (done && removed == 0) error = "no existe ese aviso";
    return done && removed > 0;
}

bool LoadWebhooks(const Database& db, std::vector<Webhook>& webhooks, std::string& error) {
    const SqlResult result = db.Run(AllWebhooks);
    if (!Done(result, error)) return false;
    for (const SqlRow& row : result.rows) {
        webhooks.push_back(Webhook{row.Int(0), row.Text(1), row.Text(2), row.Int(3) != 0, row.Text(4), row.Text(5)});
    }
    return true;
}

bool QueueTestEvent(const Database& db, long long webhookId, const std::string& actor, std::string& error) {
    const int64_t now = std::time(nullptr);
    const nlohmann::ordered_json body = {{"evento", webhook_event::Test}, {"quien", actor}, {"cuando", UtcText(now)}};
    const SqlResult result =
        db.Run(QueueOne, {Int(webhookId), Text(webhook_event::Test), Text(body.dump()), Text(UtcText(now)),
                          Int(now * 1000)});
    return Done(result, error);
}

bool ClaimDueDeliveries(const Database& db, int64_t nowMs, int64_t leaseUntilMs, int count,
                        std::vector<Delivery>& deliveries, std::string& error) {
    const SqlResult due = db.Run(Due, {Int(nowMs), Int(count)});
    if (!Done(due, error)) return false;
    for (const SqlRow& row : due.rows) {
        const long long id = row.Int(0);
        const SqlResult leased = db.Run(Lease, {Int(id), Int(leaseUntilMs), Int(nowMs)});
        if (!Done(leased, error)) return false;
        if (leased.changes == 0) continue;  // another sender took it first
        const SqlResult found = db.Run(Leased, {Int(id)});
        if (!Done(found, error)) return false;
        for (const SqlRow& r : found.rows) {
            deliveries.push_back(Delivery{r.Int(0), r.Int(1), r.Text(2), r.Text(3), r.Text(4), r.Text(5),
                                          static_cast<int>(r.Int(6)), r.Int(7)});
        }
    }
    return true;
}

bool RecordAttempt(const Database& db, const Delivery& delivery, const AttemptResult& attempt, int64_t nowMs,
                   int64_t nextAttemptMs, std::string& error) {
    const bool delivered = attempt.status >= 200 && attempt.status < 300;
    const std::string state =
        delivered ? delivery_state::Delivered : (nextAttemptMs > 0 ? delivery_state::Pending : delivery_state::Failed);
    const std::string now = UtcText(nowMs / 1000);
    const std::string reason = attempt.error.substr(0, MaxErrorBytes);
    return InTransaction(db, error, [&] {
        SqlResult result = db.Run(AddAttempt, {Int(delivery.id), Text(now), Int(attempt.status), Text(reason),
                                               Int(attempt.ms)});
        if (result.Ok()) {
            result = db.Run(MoveOn, {Int(delivery.id), Text(state), Int(delivered ? 0 : nextAttemptMs),
                                     Int(attempt.status), Text(reason), delivered ? Text(now) : Null()});
        }
        if (result.Ok() && state != delivery_state::Pending) result = TrimFinishedDeliveries(db, KeptFinishedDeliveries);
        return result;
    });
}

SqlResult TrimFinishedDeliveries(const Database& db, long long keep) {
    SqlResult result = db.Run(NthNewestFinished, {Int(keep)});
    if (!result.Ok() || result.rows.empty()) return result;
    const long long newestDropped = result.rows[0].Int(0);
    result = db.Run(DropOldAttempts, {Int(newestDropped)});
    if (result.Ok()) result = db.Run(DropOldDeliveries, {Int(newestDropped)});
    return result;
}
