#include "storage/rate_share.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "http/forwarded_for.h"
#include "storage/store.h"

namespace {

constexpr int KeepSeconds = 60;    // rows older than this are of no more use
constexpr int LookBackSeconds = 10;  // a row is read until it is this old (commits and clocks that lag)

// One statement for every address of the second: the addresses come as
// one array (they are IP addresses, so nothing in them needs quoting).
constexpr char WriteUsage[] =
    "INSERT INTO rate_usage (instance, at_unix, address, admitted)"
    " SELECT ?1, ?2, a, n FROM unnest(?3::text[], ?4::int[]) AS t(a, n)";
constexpr char OthersUsage[] =
    "SELECT id, instance, address, admitted FROM rate_usage WHERE instance <> ?1 AND at_unix >= ?2"
    " ORDER BY id LIMIT 100000";
constexpr char DropOld[] = "DELETE FROM rate_usage WHERE at_unix < ?1";

}  // namespace

bool RateShare::Exchange(std::string& error) {
    if (!db_.IsOpen() && !OpenDatabase(target_, false, 0, db_, error)) return false;
    std::string addresses = "{", counts = "{";
    for (const auto& [address, admitted] : limiter_.DrainAdmitted()) {
        if (!IsIpAddress(address)) continue;
        addresses += (addresses.size() > 1 ? "," : "") + address;
        counts += (counts.size() > 1 ? "," : "") + std::to_string(admitted);
    }
    const long long now = std::time(nullptr);
    SqlResult result;
    if (addresses.size() > 1) {
        result = db_.Run(WriteUsage, {Text(instance_), Int(now), Text(addresses + "}"), Text(counts + "}")});
    }
    // What was let through before this instance started is no charge of its own.
    const long long since = std::max(startedUnix_, now - LookBackSeconds);
    if (result.Ok()) result = db_.Run(OthersUsage, {Text(instance_), Int(since)});
    if (result.Ok()) {
        for (const SqlRow& row : result.rows) {
            const auto known = seen_.find(row.Text(1));
            if (known != seen_.end() && row.Int(0) <= known->second) continue;
            seen_[row.Text(1)] = row.Int(0);
            limiter_.Charge(row.Text(2), static_cast<int>(row.Int(3)));
        }
        db_.Run(DropOld, {Int(now - KeepSeconds)});
    }
    if (!result.Ok()) {
        error = result.error;
        db_.close();
        db_ = Database();
        return false;
    }
    return true;
}

void RateShare::Start(int everyMs) {
    thread_ = std::thread([this, everyMs] {
        std::string first;
        Exchange(first);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(everyMs), [this] { return stopping_; })) {
            lock.unlock();
            std::string error;
            Exchange(error);
            lock.lock();
        }
    });
}

void RateShare::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}
