// What the service and the agent agree on: paths, the API key, the answers.
#pragma once
#include <string>

namespace contract {

inline constexpr char DefaultApiKey[] = "qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-";
inline constexpr char ApiKeyHeader[] = "X-Api-Key";
inline constexpr char ApiPrefix[] = "/apis/trevanto/v1/";
inline constexpr char AgentVersionPath[] = "/apis/trevanto/v1/agente-version";
inline constexpr char UpdateReportPath[] = "/apis/trevanto/v1/update-report";
inline constexpr char AcceptanceReportPath[] = "/apis/trevanto/v1/rtf-acceptance";

// Folders of static files, served from the data folder's "archivos".
inline constexpr const char* StaticPrefixes[] = {"/parches/", "/uploads/", "/wp-content/uploads/", "/paquetes/",
                                                 "/agente/"};

// The "resultado" of the second report an agent sends when the program an
// update installed did not start and the previous one was put back.
inline constexpr char FailedStartResult[] = "ARRANQUE_FALLIDO";

// The agent release on offer (agente.json): its signature ("firma") and
// the vendor's statement ("declaracion", "declaracion_firma") are empty
// when it has none.
struct AgentOffer {
    std::string version;
    std::string url;
    std::string signature;
    std::string statement;
    std::string statementSignature;
};

// The self-update answer. With a release on offer that is newer than the
// asking version: {"version":"<v>","url":"<url>"} (no blanks, so the agent's
// text search finds the url), "firma" after it when the release is signed,
// and "declaracion" and "declaracion_firma" when it is stated. Otherwise no
// "url" member, so an older release never replaces a newer agent.
std::string AgentVersionAnswer(const std::string& askingVersion, const AgentOffer& offer);

// Compares two versions part by part as numbers (missing parts count as
// 0): order is -1, 0 or 1. False when either is not digits and dots.
bool CompareVersions(const std::string& first, const std::string& second, int& order);

// True when candidate is a later version than current, comparing the
// dot-separated parts as numbers ("1.26.0803" equals "1.26.803", missing
// parts count as 0). False when either is not digits and dots.
bool IsNewerVersion(const std::string& candidate, const std::string& current);

// True for a program version as Windows keeps one: one to four
// dot-separated numbers, each at most 65535 (no sign, no blank).
bool IsProgramVersion(const std::string& text);

// True for a path of a package the service offers that needs no escaping
// in an address: a safe static path whose segments are made of letters,
// digits, '.', '_' and '-' only.
bool IsPlainStaticPath(const std::string& path);

// {"error":"<text>"} with the text escaped.
std::string ErrorBody(const std::string& text);

// A JSON string literal's content: quotes, backslashes and control bytes escaped.
std::string EscapeJson(const std::string& text);

// True for a request path that names a file below a static prefix and
// cannot leave it: no backslash, no NUL, no empty segment, and no segment
// that starts with '.' (neither ".." nor hidden files such as ".git").
bool IsSafeStaticPath(const std::string& path);

}  // namespace contract
