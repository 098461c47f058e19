#include "agents/data_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "rollouts/offer_token.h"

bool IsProductKeyName(const std::string& key) {
    if (key.empty() || key.size() > 64) return false;
    for (unsigned char c : key) {
        if (!std::isalnum(c) && c != '_' && c != '-') return false;
    }
    return true;
}

SecretFile ReadSecret(const DataFolder& data, std::string& secret, std::string& error) {
    const std::string path = data.root + "/secreto.key";
    std::string text;
    if (!ReadWholeFile(path, text)) return SecretFile::Missing;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() < 32) {
        error = path + " is too short to be a secret";
        return SecretFile::Unusable;
    }
    secret = text;
    return SecretFile::Read;
}

bool LoadOrMakeSecret(const DataFolder& data, const std::string& fallback, std::string& secret, std::string& error) {
    const std::string path = data.root + "/secreto.key";
    const SecretFile found = ReadSecret(data, secret, error);
    if (found != SecretFile::Missing) return found == SecretFile::Read;
    const std::string made = fallback.empty() ? NewSecret() : fallback;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made.empty() || fd < 0) {
        error = "cannot make " + path;
        if (fd >= 0) close(fd);
        return false;
    }
    const std::string line = made + "\n";
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!written) {
        error = "cannot write " + path;
        return false;
    }
    secret = made;
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

bool AgentRelease(const DataFolder& data, contract::AgentOffer& offer) {
    std::string text;
    if (!ReadWholeFile(data.root + "/agente.json", text)) return false;
    const nlohmann::json release = nlohmann::json::parse(text, nullptr, false);
    if (!release.is_object()) return false;
    const auto member = [&release](const char* key) {
        const auto found = release.find(key);
        return found != release.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    offer.version = member("version");
    offer.url = member("url");
    offer.signature = member("firma");
    offer.statement = member("declaracion");
    offer.statementSignature = member("declaracion_firma");
    return !offer.version.empty() && !offer.url.empty();
}

std::string StaticFilePath(const DataFolder& data, const std::string& requestPath) {
    return data.root + "/archivos" + requestPath;
}
