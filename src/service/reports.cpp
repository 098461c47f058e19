// rand_s needs this before the C runtime's headers (the runtime's own name).
#define _CRT_RAND_S  // NOLINT(bugprone-reserved-identifier)
#include "service/reports.h"

#include <windows.h>

#include <array>
#include <cstdlib>

#include "app/app_folder_rules.h"
#include "net/api_client.h"
#include "service/installation_descriptor.h"
#include "service/report_text.h"
#include "support/text.h"

namespace {

void PostAndForget(const char* path, const std::string& body) {
    std::string response, errorText;
    ApiPostJson(path, body, response, errorText);
}

}  // namespace

std::string NewReportId() {
    std::array<std::uint32_t, 4> words{};
    for (std::uint32_t& word : words) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) {
            // No secure source: the clock and the runtime's generator. The id
            // only has to be unique, not unpredictable.
            value = static_cast<unsigned int>(GetTickCount64()) ^
                    static_cast<unsigned int>(std::rand());  // NOLINT(cert-msc50-cpp)
        }
        word = value;
    }
    return ReportIdFromWords(words);
}

void SendUpdateReport(const InstallationIdentity& identity, const std::string& newVersion, const std::string& updateUrl,
                      const std::string& result, std::int32_t errorCode, const std::string& errorMessage,
                      const std::string& failedStep, std::int32_t durationSeconds) {
    if (identity.productKey.empty() || result.empty()) return;
    UpdateOutcome outcome{result, errorCode, errorMessage, failedStep};
    PostAndForget(UpdateReportPath,
                  UpdateReportBody(identity, newVersion, updateUrl, outcome, durationSeconds, NewReportId()));
}

void SendAcceptanceReport(const InstallationIdentity& identity, const std::string& rtfUrl) {
    if (identity.productKey.empty() || rtfUrl.empty()) return;
    PostAndForget(AcceptanceReportPath, AcceptanceReportBody(identity, rtfUrl, NewReportId()));
}

void ReportUpdateOutcome(const UpdateReportContext& context, const std::string& result, std::int32_t errorCode,
                         const std::string& errorMessage, const std::string& failedStep) {
    const std::int32_t duration = DurationSeconds(context.startTick, GetTickCount64());
    const InstallationIdentity& identity = *context.identity;
    const bool ok = result == ResultOk;
    std::string newVersion;
    if (ok && !identity.exeName.empty()) {
        newVersion = ProductVersion(JoinPath(*context.appFolder, WidenBytes(identity.exeName)));
    }
    SendUpdateReport(identity, newVersion, *context.updateUrl, result, errorCode, errorMessage, failedStep, duration);
    if (ok) WriteLastUpdateStamp(identity.settingsKey);
}
