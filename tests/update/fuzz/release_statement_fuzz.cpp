// libFuzzer target: any bytes as a release statement, and as the line of
// members that carries one. What parses must be written back byte for byte
// and keep every field's rule. Built and run by scripts/fuzz.sh.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/release_statement.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ReleaseStatement statement;
    if (ParseStatementText(bytes, statement)) {
        std::string text;
        Require(StatementText(statement, text) && text == bytes);
        Require(statement.size >= 1 && statement.sha256.size() == 64 && !statement.fileName.empty());
        Require((statement.kind == StatementKind::Program) == !statement.product.empty());
        VersionNumbers numbers{};
        Require(ParseVersionNumbers(statement.version, numbers));
    }
    std::string statementText, signatureText;
    if (ParseStatementMembersJson(bytes, statementText, signatureText)) {
        Require(!statementText.empty() && !signatureText.empty());
        Require(StatementMembersJson(statementText, signatureText).size() <= bytes.size());
    }
    (void)IsNewerVersion(bytes.substr(0, size / 2), bytes.substr(size / 2));
    return 0;
}
