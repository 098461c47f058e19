#include "update/statement_checks.h"

namespace {

constexpr unsigned long TrustNoSignature = 0x800B0100ul;        // TRUST_E_NOSIGNATURE
constexpr unsigned long TrustBadDigest = 0x80096010ul;          // TRUST_E_BAD_DIGEST
constexpr unsigned long TrustSubjectFormUnknown = 0x800B0003ul;  // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr unsigned long TrustSubjectNotTrusted = 0x800B0004ul;  // TRUST_E_SUBJECT_NOT_TRUSTED
constexpr unsigned long CertWrongUsage = 0x800B0110ul;          // CERT_E_WRONG_USAGE
constexpr unsigned long CertExpired = 0x800B0101ul;             // CERT_E_EXPIRED

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

const char* StatementCheckCode(StatementCheck check) {
    switch (check) {
        case StatementCheck::Passed:
            return "DECLARACION_VALIDA";
        case StatementCheck::Missing:
            return "DECLARACION_AUSENTE";
        case StatementCheck::Signature:
            return "DECLARACION_FIRMA";
        case StatementCheck::Format:
            return "DECLARACION_FORMATO";
        case StatementCheck::Kind:
            return "DECLARACION_TIPO";
        case StatementCheck::Product:
            return "DECLARACION_PRODUCTO";
        case StatementCheck::Name:
            return "DECLARACION_NOMBRE";
        case StatementCheck::Version:
            return "DECLARACION_VERSION";
        case StatementCheck::Size:
            return "DECLARACION_TAMANO";
        case StatementCheck::Sha256:
            return "DECLARACION_SHA256";
    }
    return "";
}

unsigned long StatementCheckTrustCode(StatementCheck check) {
    switch (check) {
        case StatementCheck::Passed:
            return 0;
        case StatementCheck::Missing:
            return TrustNoSignature;
        case StatementCheck::Signature:
        case StatementCheck::Size:
        case StatementCheck::Sha256:
            return TrustBadDigest;
        case StatementCheck::Format:
        case StatementCheck::Name:
            return TrustSubjectFormUnknown;
        case StatementCheck::Kind:
            return CertWrongUsage;
        case StatementCheck::Product:
            return TrustSubjectNotTrusted;
        case StatementCheck::Version:
            return CertExpired;
    }
    return TrustBadDigest;
}

const char* StatementCheckMessage(StatementCheck check) {
    switch (check) {
        case StatementCheck::Passed:
            return "";
        case StatementCheck::Missing:
            return "paquete sin declaracion";
        case StatementCheck::Signature:
            return "declaracion no firmada por el fabricante";
        case StatementCheck::Format:
            return "declaracion ilegible";
        case StatementCheck::Kind:
            return "declaracion para otro uso";
        case StatementCheck::Product:
            return "declaracion para otro programa";
        case StatementCheck::Name:
            return "nombre declarado no valido";
        case StatementCheck::Version:
            return "version declarada no es mas nueva";
        case StatementCheck::Size:
            return "tamano distinto del declarado";
        case StatementCheck::Sha256:
            return "sha256 distinto del declarado";
    }
    return "";
}

StatementCheck CheckStatement(const ReleaseStatement& statement, const StatementExpectation& expected,
                              bool nameUsable) {
    if (statement.kind != expected.kind) return StatementCheck::Kind;
    if (expected.kind == StatementKind::Program && statement.product != expected.product) {
        return StatementCheck::Product;
    }
    if (!nameUsable) return StatementCheck::Name;
    if (!expected.fileName.empty() && !SameIgnoringCase(statement.fileName, expected.fileName)) {
        return StatementCheck::Name;
    }
    if (!IsNewerVersion(statement.version, expected.programVersion) ||
        !IsNewerVersion(statement.version, expected.installedFloor)) {
        return StatementCheck::Version;
    }
    return StatementCheck::Passed;
}

StatementCheck CheckStatedBytes(const ReleaseStatement& statement, std::uint64_t size, const std::string& sha256) {
    if (size != statement.size) return StatementCheck::Size;
    if (sha256 != statement.sha256) return StatementCheck::Sha256;
    return StatementCheck::Passed;
}
