#include "contract.h"

#include <cstdio>
#include <cstring>

namespace contract {

std::string EscapeJson(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
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
