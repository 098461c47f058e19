#include "commands/signing_command.h"

#include <iostream>

#include "signing/package_signing.h"
#include "signing/release_statements.h"

namespace {

int Fail(const std::string& text) {
    std::cerr << text << "\n";
    return 2;
}

bool Required(const CommandLine& line, const std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!HasOption(line, name) || Option(line, name, "").empty()) {
            std::cerr << "--" << name << " is needed\n";
            return false;
        }
    }
    return true;
}

// Prints the text, or the reason and exit status 1.
int Printed(bool ok, const std::string& text, const std::string& error) {
    if (!ok) {
        std::cerr << error << "\n";
        return 1;
    }
    std::cout << text << "\n";
    return 0;
}

}  // namespace

int SigningCommand(const CommandLine& line) {
    std::string text, error;
    if (line.subcommand == "keygen" && Required(line, {"key"})) {
        return Printed(MakeSigningKey(Option(line, "key", ""), text, error), text, error);
    }
    if (line.subcommand == "public" && Required(line, {"key"})) {
        return Printed(SigningPublicKey(Option(line, "key", ""), text, error), text, error);
    }
    if (line.subcommand == "sign" && Required(line, {"key", "file"})) {
        return Printed(SignFile(Option(line, "key", ""), Option(line, "file", ""), text, error), text, error);
    }
    if (line.subcommand == "statement" && Required(line, {"key", "kind", "version", "file"})) {
        StatementRequest request;
        if (!ParseStatementKind(Option(line, "kind", ""), request.kind)) {
            return Fail("--kind is programa, agente or instalador");
        }
        if (request.kind == StatementKind::Program && !Required(line, {"product"})) return 2;
        if (request.kind != StatementKind::Program && HasOption(line, "product")) {
            return Fail("--product goes with --kind programa only");
        }
        request.product = Option(line, "product", "");
        request.version = Option(line, "version", "");
        request.filePath = Option(line, "file", "");
        request.name = Option(line, "name", "");
        return Printed(MakeStatementLine(Option(line, "key", ""), request, text, error), text, error);
    }
    if (line.subcommand == "verify" && Required(line, {"public-key", "file", "signature"})) {
        bool valid = false;
        if (!VerifyFileSignature(Option(line, "public-key", ""), Option(line, "file", ""), Option(line, "signature", ""),
                                 valid, error)) {
            return Fail(error);
        }
        std::cout << (valid ? "firma valida" : "firma NO valida") << "\n";
        return valid ? 0 : 1;
    }
    return Fail("usage: trevanto-servicio signing keygen|public|sign|statement|verify ... (commands/signing_command.h)");
}
