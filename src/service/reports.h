// Outcome reports to the vendor's service: fire and forget.
#pragma once
#include <cstdint>
#include <string>

#include "service/installation_identity.h"

// What the update worker hands over; the worker owns the values.
struct UpdateReportContext {
    std::uint64_t startTick = 0;
    const InstallationIdentity* identity = nullptr;
    const std::wstring* appFolder = nullptr;
    const std::string* updateUrl = nullptr;
};

// Reports the end of an update run; after "OK" also writes the stamp.
void ReportUpdateOutcome(const UpdateReportContext& context, const std::string& result, std::int32_t errorCode,
                         const std::string& errorMessage, const std::string& failedStep);

void SendUpdateReport(const InstallationIdentity& identity, const std::string& newVersion, const std::string& updateUrl,
                      const std::string& result, std::int32_t errorCode, const std::string& errorMessage,
                      const std::string& failedStep, std::int32_t durationSeconds);

void SendAcceptanceReport(const InstallationIdentity& identity, const std::string& rtfUrl);

// 36 characters, RFC 4122 version 4, from the system's secure random source.
std::string NewReportId();
