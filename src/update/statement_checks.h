// The checks an agent makes of a release statement, one by one, and how
// each refusal is journalled and reported. No Win32 here.
#pragma once
#include <string>

#include "update/release_statement.h"

// The check a statement failed (Passed when none did).
enum class StatementCheck {
    Passed,
    Missing,    // no statement where one is required
    Signature,  // the signature does not verify under a trusted key (or the texts are malformed)
    Format,     // verified bytes that are not a statement
    Kind,       // a statement for another use (a program's for a new agent, ...)
    Product,    // a program's statement for another product
    Name,       // a file name the agent must not store under
    Version,    // not newer than what is installed
    Size,       // the bytes are not as long as stated
    Sha256,     // the bytes' SHA-256 is not the stated one
};

// The journal code (and the report's "paso_fallido"): "DECLARACION_AUSENTE",
// "DECLARACION_FIRMA", "DECLARACION_FORMATO", "DECLARACION_TIPO",
// "DECLARACION_PRODUCTO", "DECLARACION_NOMBRE", "DECLARACION_VERSION",
// "DECLARACION_TAMANO", "DECLARACION_SHA256"; "DECLARACION_VALIDA" for Passed.
const char* StatementCheckCode(StatementCheck check);

// The report's "codigo_error", from the platform's trust errors:
// TRUST_E_NOSIGNATURE (Missing), TRUST_E_BAD_DIGEST (Signature, Size,
// Sha256), TRUST_E_SUBJECT_FORM_UNKNOWN (Format, Name),
// CERT_E_WRONG_USAGE (Kind), TRUST_E_SUBJECT_NOT_TRUSTED (Product),
// CERT_E_EXPIRED (Version).
unsigned long StatementCheckTrustCode(StatementCheck check);

// The report's "mensaje_error".
const char* StatementCheckMessage(StatementCheck check);

// What the agent holds that a statement is checked against.
struct StatementExpectation {
    StatementKind kind = StatementKind::Program;
    std::string product;         // the program's catalogue key (a program's package)
    std::string programVersion;  // the program's file version (empty: none), or the agent's own version
    std::string installedFloor;  // the highest version this agent installed here (empty: none)
    std::string fileName;        // the name a new agent or an installer archive must be stated under (any case)
};

// The checks that need only the statement (before anything is fetched or
// the program is stopped), in this order: kind, product, name, version.
// `nameUsable` is the agent's own verdict on the stated file name.
StatementCheck CheckStatement(const ReleaseStatement& statement, const StatementExpectation& expected,
                              bool nameUsable);

// The checks of the bytes that arrived: size, then SHA-256 (lower-case hex).
StatementCheck CheckStatedBytes(const ReleaseStatement& statement, std::uint64_t size, const std::string& sha256);
