#include "storage/audit_store.h"
#include "storage/stored_time.h"

#include <ctime>

namespace {

constexpr char AddEntry[] = "INSERT INTO audit_log (at, actor, action, target, detail) VALUES (?1, ?2, ?3, ?4, ?5)";
constexpr size_t MaxDetailBytes = 2048;

constexpr const char* Actions[] = {
    audit_action::ReleaseAdded,        audit_action::PackageUploaded, audit_action::RolloutStarted,
    audit_action::RolloutPaused,       audit_action::RolloutResumed,  audit_action::RolloutAdvanced,
    audit_action::RolloutFinished,     audit_action::RolloutHalted,   audit_action::RolloutAcknowledged,
    audit_action::RolloutRetried,      audit_action::WebhookChanged,  audit_action::OperatorChanged,
    audit_action::TokenChanged,
};

}  // namespace

SqlResult RecordAudit(const Database& db, const AuditEntry& entry, int64_t unixSeconds) {
    // A halt reason or a message may hold an agent's text: kept, but bounded.
    const std::string detail = entry.detail.substr(0, MaxDetailBytes);
    return db.Run(AddEntry, {Text(UtcText(unixSeconds)), Text(entry.actor), Text(entry.action), Text(entry.target),
                             Text(detail)});
}

const char* const* AuditActions(size_t& count) {
    count = sizeof Actions / sizeof Actions[0];
    return Actions;
}
