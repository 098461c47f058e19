#include "file_hashes.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "contract.h"

namespace {

using Json = nlohmann::json;

int64_t ModifiedNs(const struct stat& info) {
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::string Hex(const unsigned char* bytes, unsigned int size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

// SHA-256 of everything left to read from an open file, 64 KB at a time.
bool Sha256OfDescriptor(int fd, std::string& hex) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
    std::vector<char> buffer(65536);
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) != 0;) {
        if (n < 0) return false;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) != 1) return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return false;
    hex = Hex(digest, size);
    return true;
}

bool LookUp(FileHashCache& cache, const std::string& path, const CachedHash& key, std::string& hex) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    const auto found = cache.entries.find(path);
    if (found == cache.entries.end() || found->second.size != key.size || found->second.modifiedNs != key.modifiedNs) {
        return false;
    }
    hex = found->second.hex;
    return true;
}

// Hashes an open regular file; the result is kept only when the file did
// not change while it was read.
bool HashAndKeep(FileHashCache& cache, const std::string& path, int fd, CachedHash key, std::string& hex) {
    if (!Sha256OfDescriptor(fd, hex)) return false;
    struct stat after = {};
    if (fstat(fd, &after) != 0) return false;
    if (static_cast<uint64_t>(after.st_size) != key.size || ModifiedNs(after) != key.modifiedNs) return true;
    key.hex = hex;
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.entries[path] = key;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes the way the HTTP server does for request paths.
bool DecodePercent(const std::string& text, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) return false;
        decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The served file a link names; false when it is not one of ours.
bool ServedFileOfLink(const std::string& link, const std::vector<std::string>& hosts, const DataFolder& data,
                      std::string& file) {
    std::string path;
    if (!LinkPathOnHosts(link, hosts, path) || !contract::IsSafeStaticPath(path)) return false;
    file = StaticFilePath(data, path);
    return true;
}

// Adds "sha256" to one cell when its link names a served file; true when added.
bool HashCell(Json& cell, const std::vector<std::string>& hosts, const DataFolder& data, FileHashCache& cache) {
    if (!cell.is_object() || cell.contains("sha256")) return false;
    const auto link = cell.find("enlace");
    std::string file, hex;
    if (link == cell.end() || !link->is_string()) return false;
    if (!ServedFileOfLink(link->get<std::string>(), hosts, data, file)) return false;
    if (!CachedFileSha256(cache, file, hex)) return false;
    cell["sha256"] = hex;
    return true;
}

bool HashUpdateOffers(Json& root, const std::vector<std::string>& hosts, const DataFolder& data, FileHashCache& cache) {
    bool added = false;
    const auto items = root.find("alertas");
    if (items == root.end() || !items->is_array()) return false;
    for (Json& item : *items) {
        if (!item.is_object() || item.value("tipo", Json()) != "url_actualizar") continue;
        const auto cells = item.find("contenido");
        if (cells == item.end() || !cells->is_array()) continue;
        for (Json& cell : *cells) added = HashCell(cell, hosts, data, cache) || added;
    }
    return added;
}

}  // namespace

bool CachedFileSha256(FileHashCache& cache, const std::string& path, std::string& hex) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info = {};
    CachedHash key;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
        key.size = static_cast<uint64_t>(info.st_size);
        key.modifiedNs = ModifiedNs(info);
        ok = LookUp(cache, path, key, hex) || HashAndKeep(cache, path, fd, key, hex);
    }
    close(fd);
    return ok;
}

bool LinkPathOnHosts(const std::string& link, const std::vector<std::string>& hosts, std::string& path) {
    const std::string scheme = "https://";
    if (Lower(link.substr(0, scheme.size())) != scheme) return false;
    const size_t slash = link.find('/', scheme.size());
    if (slash == std::string::npos) return false;
    const std::string host = Lower(link.substr(scheme.size(), slash - scheme.size()));
    bool known = false;
    for (const std::string& name : hosts) known = known || (!name.empty() && Lower(name) == host);
    if (!known) return false;
    const std::string rest = link.substr(slash);
    return DecodePercent(rest.substr(0, rest.find_first_of("?#")), path);
}

std::string WithFileHashes(const std::string& document, const std::vector<std::string>& hosts, const DataFolder& data,
                           FileHashCache& cache) {
    try {
        Json root = Json::parse(document, nullptr, false);
        if (!root.is_object() || !HashUpdateOffers(root, hosts, data, cache)) return document;
        return root.dump();
    } catch (const std::exception&) {  // a document nlohmann cannot take back: serve it as written
        return document;
    }
}
