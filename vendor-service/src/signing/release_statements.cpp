#include "signing/release_statements.h"
#include "support/base64.h"

#include <vector>

#include "signing/package_signing.h"
#include "update/signature_rules.h"

bool MakeStatementLine(const std::string& privatePath, const StatementRequest& request, std::string& line,
                       std::string& error) {
    ReleaseStatement statement;
    statement.kind = request.kind;
    statement.product = request.kind == StatementKind::Program ? request.product : "";
    statement.version = request.version;
    statement.fileName = request.name.empty() ? request.filePath.substr(request.filePath.rfind('/') + 1) : request.name;
    if (!FileSizeAndSha256(request.filePath, statement.size, statement.sha256, error)) return false;
    std::string bytes;
    if (!StatementText(statement, bytes)) {
        error = "the statement breaks its rules: a product of 1 to 64 letters and digits (programa only), a version of"
                " up to four numbers of at most 65535, a name of letters, digits, '.', '_' and '-' not starting with"
                " '.', and a file of 1 to 4294967295 bytes";
        return false;
    }
    std::string signatureText;
    if (!SignBytes(privatePath, bytes, signatureText, error)) return false;
    line = StatementMembersJson(EncodeBase64(bytes), signatureText);
    return true;
}

bool ReadStatementLine(const std::string& line, ReleaseStatement& statement, std::string& error) {
    std::string statementText, signatureText;
    std::vector<unsigned char> bytes, signature;
    if (!ParseStatementMembersJson(line, statementText, signatureText) || !DecodeBase64(statementText, bytes) ||
        !DecodeBase64(signatureText, signature) || signature.size() != SignatureLength ||
        !ParseStatementText(std::string(bytes.begin(), bytes.end()), statement)) {
        error = "not a statement as `signing statement` prints it";
        return false;
    }
    return true;
}
