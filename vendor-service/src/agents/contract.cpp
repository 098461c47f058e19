#include "contract.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace contract {

namespace {

// The dot-separated parts of a version without their leading zeros ("0803"
// is "803", "0" is ""). False when a part is empty or not all digits.
bool VersionParts(const std::string& version, std::vector<std::string>& parts) {
    parts.clear();
    size_t start = 0;
    while (true) {
        const size_t end = std::min(version.find('.', start), version.size());
        const std::string part = version.substr(start, end - start);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) return false;
        parts.push_back(part.substr(std::min(part.find_first_not_of('0'), part.size())));
        if (end == version.size()) return true;
        start = end + 1;
    }
}

// Compares two parts as numbers of any length: -1, 0 or 1.
int ComparePart(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool CompareVersions(const std::string& first, const std::string& second, int& order) {
    std::vector<std::string> a, b;
    if (!VersionParts(first, a) || !VersionParts(second, b)) return false;
    order = 0;
    for (size_t i = 0; i < std::max(a.size(), b.size()) && order == 0; ++i) {
        order = ComparePart(i < a.size() ? a[i] : "", i < b.size() ? b[i] : "");
    }
    return true;
}

bool IsNewerVersion(const std::string& candidate, const std::string& current) {
    int order = 0;
    return CompareVersions(candidate, current, order) && order > 0;
}

std::string EscapeJson(const std::string& text) {
    const std::string quoted = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}

std::string AgentVersionAnswer(const std::string& askingVersion, const AgentOffer& offer) {
    if (offer.version.empty() || offer.url.empty()) return "{}";
    std::string body = "{\"version\":\"" + EscapeJson(offer.version) + "\"";
    if (IsNewerVersion(offer.version, askingVersion)) {
        body += ",\"url\":\"" + EscapeJson(offer.url) + "\"";
        if (!offer.signature.empty()) body += ",\"firma\":\"" + EscapeJson(offer.signature) + "\"";
        if (!offer.statement.empty()) {
            body += ",\"declaracion\":\"" + EscapeJson(offer.statement) + "\",\"declaracion_firma\":\"" +
                    EscapeJson(offer.statementSignature) + "\"";
        }
    }
    return body + "}";
}

bool IsProgramVersion(const std::string& text) {
    std::vector<std::string> parts;
    if (text.size() > 23 || !VersionParts(text, parts) || parts.size() > 4) return false;
    for (const std::string& part : parts) {
        if (part.size() > 5 || (!part.empty() && std::stol(part) > 65535)) return false;
    }
    return true;
}

bool IsPlainStaticPath(const std::string& path) {
    constexpr char Plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/";
    return IsSafeStaticPath(path) && path.find_first_not_of(Plain) == std::string::npos;
}

std::string ErrorBody(const std::string& text) {
    return "{\"error\":\"" + EscapeJson(text) + "\"}";
}

bool IsSafeStaticPath(const std::string& path) {
    bool underPrefix = false;
    for (const char* prefix : StaticPrefixes) {
        if (path.compare(0, std::strlen(prefix), prefix) == 0 && path.size() > std::strlen(prefix)) underPrefix = true;
    }
    if (!underPrefix) return false;
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) return false;
    size_t start = 1;
    while (start <= path.size()) {
        const size_t end = path.find('/', start);
        const std::string segment = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (segment.empty() || segment[0] == '.') return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

}  // namespace contract
