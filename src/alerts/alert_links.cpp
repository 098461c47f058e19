#include "alerts/alert_links.h"

namespace {

bool StartsWithIgnoringCase(const std::string& text, const std::string& lowerPrefix) {
    if (text.size() < lowerPrefix.size()) return false;
    for (size_t i = 0; i < lowerPrefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerPrefix[i]) return false;
    }
    return true;
}

}  // namespace

bool IsWebLink(const std::string& link) {
    for (const char* scheme : {"http://", "https://"}) {
        const std::string prefix = scheme;
        if (StartsWithIgnoringCase(link, prefix) && link.size() > prefix.size()) return true;
    }
    return false;
}

std::string IgnoredLinkJournalText(const std::string& link) {
    return "ENLACE_NO_WEB_IGNORADO;" + link;
}
