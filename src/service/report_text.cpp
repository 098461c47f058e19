#include "service/report_text.h"

#include <cstdio>

#include "service/json_text.h"

namespace {

std::string Text(const char* key, const std::string& value) {
    return std::string("\"") + key + "\":\"" + JsonEscape(value) + "\"";
}

std::string Number(const char* key, std::int32_t value) {
    return std::string("\"") + key + "\":" + std::to_string(value);
}

// Identifiers hold only hex digits and hyphens: written without escaping.
std::string Identifier(const char* key, const std::string& value) {
    return std::string("\"") + key + "\":\"" + value + "\"";
}

}  // namespace

std::string UpdateReportBody(const InstallationIdentity& identity, const std::string& newVersion,
                             const std::string& updateUrl, const UpdateOutcome& outcome, std::int32_t durationSeconds,
                             const std::string& reportId) {
    return "{" + Text("Programa", identity.productKey) + "," + Text("version_anterior", identity.productVersion) + "," +
           Text("version_nueva", newVersion) + "," + Text("url_parche", updateUrl) + "," +
           Text("resultado", outcome.result) + "," + Number("codigo_error", outcome.errorCode) + "," +
           Text("mensaje_error", outcome.errorMessage) + "," + Text("paso_fallido", outcome.failedStep) + "," +
           Number("duracion_segundos", durationSeconds) + "," + Identifier("report_id", reportId) + "}";
}

std::string AcceptanceReportBody(const InstallationIdentity& identity, const std::string& rtfUrl,
                                 const std::string& acceptanceId) {
    return "{" + Text("Programa", identity.productKey) + "," + Text("rtf_url", rtfUrl) + "," +
           Identifier("acceptance_id", acceptanceId) + "}";
}

std::int32_t DurationSeconds(std::uint64_t startTick, std::uint64_t nowTick) {
    return static_cast<std::int32_t>((nowTick - startTick) / 1000u);
}

std::string ReportIdFromWords(const std::array<std::uint32_t, 4>& words) {
    unsigned char bytes[16];
    for (int k = 0; k < 4; ++k) {
        for (int b = 0; b < 4; ++b) bytes[4 * k + b] = static_cast<unsigned char>(words[k] >> (8 * b));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[40];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string CheckInResponseText(bool succeeded, std::string body, const std::string& errorText) {
    if (!succeeded) return "{\"error\":\"" + JsonEscape(errorText) + "\"}";
    if (body.empty()) return "{\"error\":\"Respuesta vacia del servidor\"}";
    return body;  // moved out, not copied
}
