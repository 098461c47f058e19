#include "agents/data_folder.h"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

bool IsProductKeyName(const std::string& key) {
    if (key.empty() || key.size() > 64) return false;
    for (unsigned char c : key) {
        if (!std::isalnum(c) && c != '_' && c != '-') return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string NotificationDocumentFor(const DataFolder& data, const std::string& productKey) {
    std::string document;
    if (IsProductKeyName(productKey) && ReadWholeFile(data.root + "/notificaciones/" + productKey + ".json", document)) {
        return document;
    }
    if (ReadWholeFile(data.root + "/notificaciones/default.json", document)) return document;
    return BuiltInDocument;
}

bool AgentRelease(const DataFolder& data, std::string& version, std::string& url) {
    std::string text;
    if (!ReadWholeFile(data.root + "/agente.json", text)) return false;
    const nlohmann::json release = nlohmann::json::parse(text, nullptr, false);
    if (!release.is_object()) return false;
    const auto v = release.find("version");
    const auto u = release.find("url");
    if (v == release.end() || u == release.end() || !v->is_string() || !u->is_string()) return false;
    version = v->get<std::string>();
    url = u->get<std::string>();
    return !version.empty() && !url.empty();
}

std::string StaticFilePath(const DataFolder& data, const std::string& requestPath) {
    return data.root + "/archivos" + requestPath;
}
