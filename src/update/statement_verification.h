// A release statement as an offer carries it, verified under the build's
// keys with the system's BCrypt before it is read.
#pragma once
#include <string>

#include "update/release_statement.h"
#include "update/statement_checks.h"

// Decodes the statement's bytes, verifies the signature of their SHA-256
// under one of the build's key slots, and only then parses them.
// Signature: malformed base64, an over-long text or a signature that
// verifies under no key; Format: verified bytes that are not a statement;
// Passed, with the statement and the key's slot (1 or 2).
StatementCheck VerifyStatementTexts(const std::string& statementBase64, const std::string& signatureBase64,
                                    ReleaseStatement& statement, int& slot);

// The highest version of the product this agent has installed in the
// folder (empty when none), and raising it after an installation.
std::string InstalledVersionFloor(const std::wstring& appFolder, const std::string& product);
void RecordInstalledVersion(const std::wstring& appFolder, const std::string& product, const std::string& version);
