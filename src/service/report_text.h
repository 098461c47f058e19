// Bodies of the update and acceptance reports, the report identifier and
// the check-in's stored response text. No Win32 here.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "service/installation_identity.h"

inline constexpr char UpdateReportPath[] = "/apis/trevanto/v1/update-report";
inline constexpr char AcceptanceReportPath[] = "/apis/trevanto/v1/rtf-acceptance";
inline constexpr char ResultOk[] = "OK";

struct UpdateOutcome {
    std::string result;  // "OK", "URL_VACIA", "DESCARGA_FALLIDA", ...
    std::int32_t errorCode = 0;
    std::string errorMessage;
    std::string failedStep;
};

// One line, no blanks: {"Programa":...,"report_id":"<id>"}.
std::string UpdateReportBody(const InstallationIdentity& identity, const std::string& newVersion,
                             const std::string& updateUrl, const UpdateOutcome& outcome, std::int32_t durationSeconds,
                             const std::string& reportId);

std::string AcceptanceReportBody(const InstallationIdentity& identity, const std::string& rtfUrl,
                                 const std::string& acceptanceId);

// Whole seconds between two millisecond ticks, as a 32-bit integer.
std::int32_t DurationSeconds(std::uint64_t startTick, std::uint64_t nowTick);

// Four 32-bit random values, each stored least significant byte first, with
// the RFC 4122 version-4 and variant bits set, as 8-4-4-4-12 lower-case hex.
std::string ReportIdFromWords(const std::array<std::uint32_t, 4>& words);

// What the check-in stores: the body on success (a fixed error object when
// it is empty), else {"error":"<escaped error text>"}. The body is moved
// through, never copied (it may be as long as the longest answer allowed).
std::string CheckInResponseText(bool succeeded, std::string body, const std::string& errorText);
