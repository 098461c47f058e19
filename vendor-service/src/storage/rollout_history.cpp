#include "storage/rollout_history.h"

#include <algorithm>
#include <map>

namespace {

constexpr char AddToHour[] =
    "INSERT INTO rollout_hours (rollout_id, hour, outcomes, failures, oks) VALUES (?1, ?2, 1, ?3, ?4)"
    " ON CONFLICT (rollout_id, hour) DO UPDATE SET outcomes = rollout_hours.outcomes + 1,"
    " failures = rollout_hours.failures + excluded.failures, oks = rollout_hours.oks + excluded.oks";
constexpr char AddToGroup[] =
    "INSERT INTO rollout_failure_groups (rollout_id, step, code, reports, first_at, last_at, message)"
    " VALUES (?1, ?2, ?3, 1, ?4, ?4, ?5) ON CONFLICT (rollout_id, step, code) DO UPDATE SET"
    " reports = rollout_failure_groups.reports + 1, last_at = excluded.last_at, message = excluded.message";

// "?1, ?2, ..." for the rollouts, after `before` other parameters.
std::string Marks(size_t count, size_t before) {
    std::string marks;
    for (size_t i = 0; i < count; ++i) marks += (i == 0 ? "?" : ", ?") + std::to_string(before + i + 1);
    return marks.empty() ? "NULL" : marks;
}

std::vector<SqlValue> Values(const std::vector<long long>& ids) {
    std::vector<SqlValue> values;
    values.reserve(ids.size());
    for (const long long id : ids) values.push_back(Int(id));
    return values;
}

bool Failed(const SqlResult& result, std::string& error) {
    if (result.Ok()) return false;
    error = result.error;
    return true;
}

}  // namespace

SqlResult CountInHistory(const Database& db, long long rolloutId, int64_t receivedUnix, const std::string& receivedAt,
                         bool ok, const std::string& step, long long code, const std::string& message) {
    SqlResult result = db.Run(AddToHour, {Int(rolloutId), Int(receivedUnix / 3600), Int(ok ? 0 : 1), Int(ok ? 1 : 0)});
    if (!result.Ok() || ok) return result;
    return db.Run(AddToGroup, {Int(rolloutId), Text(step), Int(code), Text(receivedAt), Text(message)});
}

bool ReadRolloutHours(const Database& db, const std::vector<long long>& rolloutIds, int64_t fromHour,
                      std::vector<HourCounts>& hours, long long& oksBefore, std::string& error) {
    std::vector<SqlValue> values = {Int(fromHour)};
    const std::vector<SqlValue> ids = Values(rolloutIds);
    values.insert(values.end(), ids.begin(), ids.end());
    const std::string in = Marks(rolloutIds.size(), 1);
    const SqlResult window = db.RunText(
        "SELECT hour, SUM(outcomes), SUM(failures), SUM(oks) FROM rollout_hours WHERE hour >= ?1 AND rollout_id IN (" +
            in + ") GROUP BY hour ORDER BY hour",
        values);
    if (Failed(window, error)) return false;
    for (const SqlRow& row : window.rows) hours.push_back(HourCounts{row.Int(0), row.Int(1), row.Int(2), row.Int(3)});
    const SqlResult before = db.RunText(
        "SELECT COALESCE(SUM(oks), 0) FROM rollout_hours WHERE hour < ?1 AND rollout_id IN (" + in + ")", values);
    if (Failed(before, error)) return false;
    oksBefore = before.Number(0);
    return true;
}

bool ReadFailureGroups(const Database& db, const std::vector<long long>& rolloutIds, const std::string& sinceUtc,
                       std::vector<FailureGroup>& groups, std::string& error) {
    std::vector<SqlValue> values = {Text(sinceUtc)};
    const std::vector<SqlValue> ids = Values(rolloutIds);
    values.insert(values.end(), ids.begin(), ids.end());
    const std::string in = Marks(rolloutIds.size(), 1);
    const SqlResult found = db.RunText(
        "SELECT step, code, SUM(reports), MIN(first_at), MAX(last_at), MAX(message) FROM rollout_failure_groups"
        " WHERE last_at >= ?1 AND rollout_id IN (" + in + ") GROUP BY step, code",
        values);
    if (Failed(found, error)) return false;
    std::map<std::pair<std::string, long long>, size_t> index;
    for (const SqlRow& row : found.rows) {
        index[{row.Text(0), row.Int(1)}] = groups.size();
        groups.push_back(FailureGroup{row.Text(0), row.Int(1), row.Int(2), row.Text(3), row.Text(4), row.Text(5), 0});
    }
    const SqlResult affected = db.RunText(
        "SELECT COALESCE(last_step, ''), COALESCE(last_code, 0), COUNT(*) FROM rollout_installations"
        " WHERE failures > 0 AND rollout_id IN (" + Marks(rolloutIds.size(), 0) + ") GROUP BY 1, 2",
        ids);
    if (Failed(affected, error)) return false;
    for (const SqlRow& row : affected.rows) {
        const auto at = index.find({row.Text(0), row.Int(1)});
        if (at != index.end()) groups[at->second].installations = row.Int(2);
    }
    std::stable_sort(groups.begin(), groups.end(), [](const FailureGroup& a, const FailureGroup& b) {
        return a.installations != b.installations ? a.installations > b.installations : a.reports > b.reports;
    });
    return true;
}

bool ReadOutcomeTotals(const Database& db, const std::vector<long long>& rolloutIds, long long& outcomes,
                       long long& failed, std::string& error) {
    outcomes = failed = 0;
    if (rolloutIds.empty()) return true;
    const SqlResult result = db.RunText(
        "SELECT COUNT(*) FILTER (WHERE outcomes > 0), COUNT(*) FILTER (WHERE failures > 0) FROM rollout_installations"
        " WHERE rollout_id IN (" + Marks(rolloutIds.size(), 0) + ")",
        Values(rolloutIds));
    if (Failed(result, error)) return false;
    if (!result.rows.empty()) {
        outcomes = result.rows[0].Int(0);
        failed = result.rows[0].Int(1);
    }
    return true;
}
