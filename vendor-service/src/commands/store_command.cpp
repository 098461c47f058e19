#include "commands/store_command.h"

#include <chrono>
#include <iostream>

#include "storage/store.h"
#include "storage/store_copy.h"

namespace {

int Usage() {
    std::cerr << "usage: trevanto-servicio store copy --from FILE|CONNECTION --to FILE|CONNECTION\n";
    return 2;
}

// Opened and at the current layout; the exit code when not.
bool Opened(const std::string& target, const char* role, Database& db, int& exitCode) {
    std::string error;
    if (OpenStore(target, db, error, exitCode)) return true;
    std::cerr << "cannot use the " << role << " store: " << error << "\n";
    return false;
}

}  // namespace

int StoreCommand(const CommandLine& line) {
    const std::string from = Option(line, "from", "");
    const std::string to = Option(line, "to", "");
    if (line.subcommand != "copy" || from.empty() || to.empty()) return Usage();
    if (from == to) {
        std::cerr << "--from and --to name the same store\n";
        return 2;
    }
    int exitCode = 0;
    Database source, target;
    if (!Opened(from, "source", source, exitCode) || !Opened(to, "target", target, exitCode)) return exitCode;
    const auto start = std::chrono::steady_clock::now();
    std::vector<CopiedTable> copied;
    bool refused = false;
    std::string error;
    if (!CopyStore(source, target, copied, refused, error)) {
        std::cerr << "nothing copied: " << error << "\n";
        return refused ? 2 : 1;
    }
    long long rows = 0;
    for (const CopiedTable& table : copied) {
        std::cout << table.table << " " << table.rows << "\n";
        rows += table.rows;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "copied " << rows << " rows in " << static_cast<long long>(seconds * 1000) << " ms\n";
    return 0;
}
