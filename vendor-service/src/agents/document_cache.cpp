#include "agents/document_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t MaxDocuments = 256;

// Reads a file and its identity through one descriptor, so the two agree.
bool ReadWithIdentity(const std::string& path, std::string& content, FileIdentity& identity) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info = {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
        identity = IdentityOf(info);
        content.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < content.size()) {
            const ssize_t n = read(fd, &content[done], content.size() - done);
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return ok;
}

bool IdentityOfPath(const std::string& path, FileIdentity& identity) {
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    identity = IdentityOf(info);
    return true;
}

}  // namespace

std::shared_ptr<CachedDocument> DocumentCache::For(const DataFolder& data, const std::string& productKey,
                                                   const std::vector<std::string>& hosts) {
    // The product's own document, else the default one, else the built-in one.
    std::vector<std::string> paths;
    if (IsProductKeyName(productKey)) paths.push_back(data.root + "/notificaciones/" + productKey + ".json");
    paths.push_back(data.root + "/notificaciones/default.json");
    for (const std::string& path : paths) {
        FileIdentity identity;
        if (!IdentityOfPath(path, identity)) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = byPath_.find(path);
            if (found != byPath_.end() && found->second->identity == identity) return found->second;
        }
        auto document = std::make_shared<CachedDocument>();
        std::string content;
        if (!ReadWithIdentity(path, content, document->identity)) continue;
        document->plan = PlanDocument(content, hosts);
        std::lock_guard<std::mutex> lock(mutex_);
        if (byPath_.size() >= MaxDocuments) byPath_.clear();
        byPath_[path] = document;
        return document;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto& builtIn = byPath_[""];
    if (!builtIn) {
        builtIn = std::make_shared<CachedDocument>();
        builtIn->plan = PlanDocument(BuiltInDocument, hosts);
    }
    return builtIn;
}

namespace {

// A string no document holds: control characters are written escaped.
constexpr char SlotValue[] = "\x01oferta\x01";
constexpr char SlotText[] = "\"\\u0001oferta\\u0001\"";

}  // namespace

namespace {

// The answer with each acceptance slot holding the installation's token.
std::string WithAcceptanceToken(std::string answer, const std::string& token) {
    const size_t length = sizeof AcceptanceSlotText - 1;
    for (size_t at = answer.find(AcceptanceSlotText); at != std::string::npos;
         at = answer.find(AcceptanceSlotText, at + token.size())) {
        answer.replace(at, length, token);
    }
    return answer;
}

}  // namespace

std::string AnswerOf(CachedDocument& document, const HashResults& hashes, const std::string& extraItem,
                     const std::string& acceptanceToken) {
    std::string withSlot, plain;
    {
        std::lock_guard<std::mutex> lock(document.mutex);
        if (!document.answered || document.lastHashes != hashes) {
            document.lastAnswer = FinishDocument(*document.plan, hashes);
            document.lastWithSlot = FinishDocumentWithSlot(*document.plan, hashes, SlotValue);
            document.lastHashes = hashes;
            document.answered = true;
        }
        if (extraItem.empty() && !MarksDocuments(*document.plan)) return document.lastAnswer;
        withSlot = document.lastWithSlot;
        plain = document.lastAnswer;
    }
    const size_t at = withSlot.rfind(SlotText);
    if (extraItem.empty() || at == std::string::npos) {  // not an object: no place for an item
        return MarksDocuments(*document.plan) ? WithAcceptanceToken(std::move(plain), acceptanceToken) : plain;
    }
    withSlot.replace(at, sizeof SlotText - 1, extraItem);
    return MarksDocuments(*document.plan) ? WithAcceptanceToken(std::move(withSlot), acceptanceToken) : withSlot;
}
