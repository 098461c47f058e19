#include "contract.h"

#include <cstring>
#include <nlohmann/json.hpp>

namespace contract {

std::string EscapeJson(const std::string& text) {
    const std::string quoted = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}

std::string AgentVersionAnswer(const std::string& askingVersion, const std::string& offeredVersion,
                               const std::string& offeredUrl) {
    if (offeredVersion.empty() || offeredUrl.empty()) return "{}";
    std::string body = "{\"version\":\"" + EscapeJson(offeredVersion) + "\"";
    if (askingVersion != offeredVersion) body += ",\"url\":\"" + EscapeJson(offeredUrl) + "\"";
    return body + "}";
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
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

}  // namespace contract
