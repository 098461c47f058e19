#include "http/message.h"

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <strings.h>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

OpenFile::~OpenFile() {
    if (fd >= 0) close(fd);
}

std::string HeaderValue(const std::vector<HeaderField>& headers, const std::string& name) {
    for (const HeaderField& field : headers) {
        if (strcasecmp(field.name.c_str(), name.c_str()) == 0) return field.value;
    }
    return std::string();
}

std::string JoinedHeaderValues(const std::vector<HeaderField>& headers, const std::string& name) {
    std::string joined;
    for (const HeaderField& field : headers) {
        if (strcasecmp(field.name.c_str(), name.c_str()) != 0) continue;
        joined += (joined.empty() ? "" : ",") + field.value;
    }
    return joined;
}

bool DecodePercent(const std::string& text, std::string& decoded) {
    decoded.clear();
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0) return false;
        decoded += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
        i += 2;
    }
    return true;
}

bool SplitTarget(const std::string& target, std::string& path, std::string& query) {
    const size_t mark = target.find('?');
    query = mark == std::string::npos ? std::string() : target.substr(mark + 1);
    return DecodePercent(target.substr(0, mark), path);
}

std::string QueryValue(const std::string& query, const std::string& name) {
    size_t start = 0;
    while (start <= query.size()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            std::string value = equals == std::string::npos ? std::string() : pair.substr(equals + 1);
            for (char& c : value) {
                if (c == '+') c = ' ';
            }
            std::string decoded;
            return DecodePercent(value, decoded) ? decoded : std::string();
        }
        start = end + 1;
    }
    return std::string();
}

Response JsonResponse(int status, std::string body) {
    Response response;
    response.status = status;
    response.headers.push_back({"Content-Type", "application/json"});
    response.body = std::move(body);
    return response;
}

Response ErrorResponse(int status, const std::string& text) {
    const std::string quoted = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return JsonResponse(status, "{\"error\":" + quoted + "}");
}

std::string WithQueryValue(const std::string& url, const std::string& name, const std::string& value) {
    const size_t fragment = url.find('#');
    const std::string base = url.substr(0, fragment);
    const std::string tail = fragment == std::string::npos ? std::string() : url.substr(fragment);
    return base + (base.find('?') == std::string::npos ? "?" : "&") + name + "=" + value + tail;
}

std::string QueryValueOfUrl(const std::string& url, const std::string& name) {
    const size_t mark = url.find('?');
    if (mark == std::string::npos) return std::string();
    const std::string query = url.substr(mark + 1, url.find('#', mark) - mark - 1);
    return QueryValue(query, name);
}
