// What strangers send the service, fuzzed: report bodies of every kind,
// client addresses (as a balancer's X-Forwarded-For may carry), offer and
// acceptance tokens, and passwords. Every bound must hold for whatever
// parses, and nothing may crash, leak or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agents/report_parsing.h"
#include "console/password_policy.h"
#include "http/network_prefix.h"
#include "rollouts/offer_token.h"

namespace {

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (ReportKind kind : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        ParsedReport report;
        std::string error;
        if (!ParseReport(kind, input, report, error)) {
            Check(!error.empty());
            continue;
        }
        const auto& columns = ColumnsOf(kind);
        Check(report.columns.size() == columns.size());
        for (size_t i = 0; i < columns.size(); ++i) {
            const ColumnValue& value = report.columns[i];
            if (!value.present) continue;
            if (columns[i].integer) {
                Check(value.number >= columns[i].minNumber && value.number <= columns[i].maxNumber);
            } else {
                Check(value.text.size() <= columns[i].maxBytes && value.text.find('\0') == std::string::npos);
            }
        }
    }
    const std::string network = NetworkOf(input);
    const std::string subscriber = SubscriberOf(input);
    Check(network.empty() == subscriber.empty() && network.size() <= 64);
    std::string installation;
    long long rollout = 0;
    if (ReadOfferToken("secreto", input, installation, rollout)) Check(OfferToken("secreto", installation, rollout) == input);
    if (ReadAcceptanceToken("secreto", input, installation)) Check(AcceptanceToken("secreto", installation) == input);
    std::string reason;
    if (AcceptablePassword(input, "ana", reason)) Check(input.size() >= MinPasswordCharacters);
    return 0;
}
