// The vendor's release statements, made on the vendor's own machine with
// the same canonical text the agent parses: what a file is for, for which
// program, its version, name, size and SHA-256, signed by the vendor's key.
#pragma once
#include <string>

#include "update/release_statement.h"

// What the vendor states about a file beside what is read from it.
struct StatementRequest {
    StatementKind kind = StatementKind::Program;
    std::string product;  // programa only
    std::string version;
    std::string filePath;
    std::string name;  // the stated file name; empty: the file's base name
};

// The line `signing statement` prints: {"declaracion":...,"declaracion_firma":...}
// for the file, signed by the key in `privatePath`. False with the reason
// (a field out of the statement's rules, an unreadable file or key).
bool MakeStatementLine(const std::string& privatePath, const StatementRequest& request, std::string& line,
                       std::string& error);

// The statement a line carries, read without checking its signature (the
// service holds no key); false with the reason.
bool ReadStatementLine(const std::string& line, ReleaseStatement& statement, std::string& error);
