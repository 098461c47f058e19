#include "update/release_statement.h"

#include <vector>

#include "support/base64.h"

namespace {

constexpr char Header[] = "trevanto-declaracion=1";
constexpr size_t ProductLimit = 64;
constexpr size_t FileNameLimit = 128;
constexpr std::uint64_t SizeLimit = 0xFFFFFFFFull;
constexpr size_t DigestHexLength = 64;
constexpr std::uint32_t VersionPartLimit = 65535;
constexpr size_t VersionPartDigits = 5;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLetterOrDigit(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsProduct(const std::string& text) {
    if (text.empty() || text.size() > ProductLimit) return false;
    for (const char c : text) {
        if (!IsLetterOrDigit(c)) return false;
    }
    return true;
}

bool IsFileName(const std::string& text) {
    if (text.empty() || text.size() > FileNameLimit || text[0] == '.') return false;
    for (const char c : text) {
        if (!IsLetterOrDigit(c) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

bool IsDigest(const std::string& text) {
    if (text.size() != DigestHexLength) return false;
    for (const char c : text) {
        if (!IsDigit(c) && !(c >= 'a' && c <= 'f')) return false;
    }
    return true;
}

// Decimal without leading zeros, from 1 to SizeLimit.
bool ParseSize(const std::string& text, std::uint64_t& size) {
    if (text.empty() || text.size() > 10 || text[0] == '0') return false;
    size = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return false;
        size = size * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return size <= SizeLimit;
}

bool IsVersion(const std::string& text) {
    VersionNumbers numbers{};
    return ParseVersionNumbers(text, numbers);
}

bool IsStatement(const ReleaseStatement& s) {
    const bool productFits = s.kind == StatementKind::Program ? IsProduct(s.product) : s.product.empty();
    return productFits && IsVersion(s.version) && IsFileName(s.fileName) && s.size >= 1 && s.size <= SizeLimit &&
           IsDigest(s.sha256);
}

// Splits the text into LF-terminated lines; false when it does not end in LF.
bool SplitLines(const std::string& text, std::vector<std::string>& lines) {
    if (text.empty() || text.back() != '\n') return false;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// "key=value" with exactly that key; the value in `value`.
bool FieldOf(const std::string& line, const char* key, std::string& value) {
    const std::string prefix = std::string(key) + "=";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    value = line.substr(prefix.size());
    return true;
}

bool IsBase64Text(const std::string& text) {
    std::vector<unsigned char> bytes;
    return DecodeBase64(text, bytes);
}

}  // namespace

const char* StatementKindName(StatementKind kind) {
    switch (kind) {
        case StatementKind::Program:
            return "programa";
        case StatementKind::Agent:
            return "agente";
        case StatementKind::Installer:
            return "instalador";
    }
    return "";
}

bool ParseStatementKind(const std::string& name, StatementKind& kind) {
    for (const StatementKind candidate : {StatementKind::Program, StatementKind::Agent, StatementKind::Installer}) {
        if (name == StatementKindName(candidate)) {
            kind = candidate;
            return true;
        }
    }
    return false;
}

bool StatementText(const ReleaseStatement& statement, std::string& text) {
    text.clear();
    if (!IsStatement(statement)) return false;
    text = std::string(Header) + "\n" + "tipo=" + StatementKindName(statement.kind) + "\n";
    if (statement.kind == StatementKind::Program) text += "producto=" + statement.product + "\n";
    text += "version=" + statement.version + "\n" + "archivo=" + statement.fileName + "\n" +
            "tamano=" + std::to_string(statement.size) + "\n" + "sha256=" + statement.sha256 + "\n";
    return true;
}

bool ParseStatementText(const std::string& bytes, ReleaseStatement& statement) {
    if (bytes.size() > StatementTextLimit) return false;
    std::vector<std::string> lines;
    if (!SplitLines(bytes, lines) || lines.size() < 6 || lines[0] != Header) return false;
    ReleaseStatement parsed;
    std::string kind, size;
    size_t at = 1;
    if (!FieldOf(lines[at++], "tipo", kind) || !ParseStatementKind(kind, parsed.kind)) return false;
    if (parsed.kind == StatementKind::Program && (at >= lines.size() || !FieldOf(lines[at++], "producto", parsed.product))) {
        return false;
    }
    if (lines.size() != at + 4) return false;
    if (!FieldOf(lines[at], "version", parsed.version) || !FieldOf(lines[at + 1], "archivo", parsed.fileName) ||
        !FieldOf(lines[at + 2], "tamano", size) || !FieldOf(lines[at + 3], "sha256", parsed.sha256) ||
        !ParseSize(size, parsed.size)) {
        return false;
    }
    // The one spelling: what was read must be written back byte for byte.
    std::string canonical;
    if (!StatementText(parsed, canonical) || canonical != bytes) return false;
    statement = parsed;
    return true;
}

bool ParseVersionNumbers(const std::string& text, VersionNumbers& numbers) {
    numbers = {0, 0, 0, 0};
    size_t part = 0, digits = 0;
    std::uint32_t value = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || value > VersionPartLimit || part >= numbers.size()) return false;
            numbers[part++] = value;
            value = 0;
            digits = 0;
            continue;
        }
        if (!IsDigit(text[i]) || ++digits > VersionPartDigits) return false;
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
    return true;
}

bool IsNewerVersion(const std::string& candidate, const std::string& floor) {
    VersionNumbers newer{}, older{};
    if (!ParseVersionNumbers(candidate, newer)) return false;
    if (!ParseVersionNumbers(floor, older)) return true;
    return newer > older;
}

std::string StatementMembersJson(const std::string& statementBase64, const std::string& signatureBase64) {
    return std::string("{\"") + StatementMember + "\":\"" + statementBase64 + "\",\"" + StatementSignatureMember +
           "\":\"" + signatureBase64 + "\"}";
}

bool ParseStatementMembersJson(const std::string& line, std::string& statementBase64, std::string& signatureBase64) {
    const size_t first = line.find_first_not_of(" \t");
    const size_t last = line.find_last_not_of(" \t\r\n");
    if (first == std::string::npos || line.size() > 4 * StatementTextLimit) return false;
    const std::string object = line.substr(first, last - first + 1);
    const std::string head = std::string("{\"") + StatementMember + "\":\"";
    const std::string middle = std::string("\",\"") + StatementSignatureMember + "\":\"";
    const std::string tail = "\"}";
    if (object.size() < head.size() + middle.size() + tail.size() || object.compare(0, head.size(), head) != 0 ||
        object.compare(object.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    const size_t split = object.find(middle, head.size());
    if (split == std::string::npos) return false;
    statementBase64 = object.substr(head.size(), split - head.size());
    signatureBase64 = object.substr(split + middle.size(), object.size() - tail.size() - split - middle.size());
    return IsBase64Text(statementBase64) && IsBase64Text(signatureBase64) && !statementBase64.empty() &&
           !signatureBase64.empty();
}
