#include "update/installed_versions.h"

#include <vector>

#include "update/release_statement.h"

namespace {

struct Entry {
    std::string product;
    std::string version;
};

// The well-formed lines of the record.
std::vector<Entry> EntriesOf(const std::string& text) {
    std::vector<Entry> entries;
    if (text.size() > InstalledVersionsTextLimit) return entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        Entry entry{line.substr(0, equals), line.substr(equals + 1)};
        VersionNumbers numbers{};
        if (ParseVersionNumbers(entry.version, numbers)) entries.push_back(entry);
    }
    return entries;
}

}  // namespace

std::string InstalledVersionOf(const std::string& text, const std::string& product) {
    std::string highest;
    for (const Entry& entry : EntriesOf(text)) {
        if (entry.product == product && (highest.empty() || IsNewerVersion(entry.version, highest))) {
            highest = entry.version;
        }
    }
    return highest;
}

std::string WithInstalledVersion(const std::string& text, const std::string& product, const std::string& version) {
    std::string result;
    std::string kept = version;
    for (const Entry& entry : EntriesOf(text)) {
        if (entry.product == product) {
            if (IsNewerVersion(entry.version, kept)) kept = entry.version;
            continue;
        }
        result += entry.product + "=" + entry.version + "\n";
    }
    return result + product + "=" + kept + "\n";
}
