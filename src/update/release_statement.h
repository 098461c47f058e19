// The vendor's release statement: what its offline key states about one
// file it publishes (what the file is for, which program, which version,
// under which name, how long and with which SHA-256). The statement is
// signed over its exact bytes; this is its one canonical text, parsed
// strictly (any other spelling of the same facts is refused), and the
// checks an agent makes against it. No Win32 here: the service composes
// statements with the same code the agent parses them with.
#pragma once
#include <array>
#include <cstdint>
#include <string>

// Statements are small: a longer text is refused before it is looked at.
inline constexpr size_t StatementTextLimit = 1024;

// The members an offer cell, agente.json and the self-update answer carry,
// and the installer's file beside its archive: base64 of the statement's
// bytes, and base64 of the signature (r || s) of their SHA-256.
inline constexpr char StatementMember[] = "declaracion";
inline constexpr char StatementSignatureMember[] = "declaracion_firma";

// What the stated file is for.
enum class StatementKind { Program, Agent, Installer };

struct ReleaseStatement {
    StatementKind kind = StatementKind::Program;
    std::string product;  // the catalogue product key; only for a program's package
    std::string version;  // up to four dot-separated numbers of at most 65535
    std::string fileName;
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

// "programa", "agente", "instalador"; false for any other word.
const char* StatementKindName(StatementKind kind);
bool ParseStatementKind(const std::string& name, StatementKind& kind);

// The canonical text, line by line, each ending in LF:
//   trevanto-declaracion=1
//   tipo=programa|agente|instalador
//   producto=<key>              (programa only)
//   version=<a.b.c.d>
//   archivo=<name>
//   tamano=<bytes>
//   sha256=<64 lower-case hex>
// False (text empty) when a field breaks its rule: a product of 1 to 64
// letters and digits; a version of 1 to 4 numbers of 1 to 5 digits, each at
// most 65535; a file name of 1 to 128 letters, digits, ".", "_" or "-" not
// starting with "."; a size from 1 to 4294967295 without leading zeros; the
// digest as 64 lower-case hex digits.
bool StatementText(const ReleaseStatement& statement, std::string& text);

// The statement those bytes are the canonical text of; false for any other
// bytes (a field out of its rule, a line out of order, a missing or extra
// line, a CR, a blank, bytes after the last line, more than the limit).
bool ParseStatementText(const std::string& bytes, ReleaseStatement& statement);

// A version as four numbers (missing ones are 0); false unless it keeps the
// statement's version rule.
using VersionNumbers = std::array<std::uint32_t, 4>;
bool ParseVersionNumbers(const std::string& text, VersionNumbers& numbers);

// True when `candidate` is a version strictly newer than `floor`. A floor
// that is empty or not a version (a program without a version resource)
// sets no bound; a candidate that is not a version is never newer.
bool IsNewerVersion(const std::string& candidate, const std::string& floor);

// The one-line JSON object with the two members, as the vendor's command
// prints it: {"declaracion":"<base64>","declaracion_firma":"<base64>"}.
std::string StatementMembersJson(const std::string& statementBase64, const std::string& signatureBase64);

// Reads those two members back from such a line (the installer's file, the
// service's --statement): exactly that object, members in that order, no
// escapes, nothing else around it but blanks and one line end. False
// otherwise.
bool ParseStatementMembersJson(const std::string& line, std::string& statementBase64, std::string& signatureBase64);
