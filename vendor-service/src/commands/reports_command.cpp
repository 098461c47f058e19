#include "commands/reports_command.h"

#include <iostream>

#include "http/text_escape.h"
#include "storage/store.h"

namespace {

int Usage() {
    std::cerr << "usage: trevanto-servicio reports --db FILE [--kind checkin|update|acceptance] [--last N]\n";
    return 2;
}

}  // namespace

int ListReports(const CommandLine& line) {
    const std::string path = Option(line, "db", "");
    if (path.empty()) return Usage();
    ReportKind only = ReportKind::CheckIn;
    const std::string kindName = Option(line, "kind", "");
    if (!kindName.empty() && !KindFromName(kindName, only)) return Usage();
    long long last = 0;
    if (!NumberOption(line, "last", 10, 1, 1000000, last)) return 2;
    Database db;
    std::string error;
    int exitCode = 0;
    if (!OpenStore(path, db, error, exitCode)) {
        if (exitCode == 2) {
            std::cerr << "the database " << path << " has an older layout: " << error << "\n";
        } else {
            std::cerr << "cannot open the database " << path << ": " << error << "\n";
        }
        return exitCode;
    }
    for (ReportKind kind : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        if (!kindName.empty() && kind != only) continue;
        // Everything but the id and the time came from an agent: escaped, so
        // no stored text can move the cursor or forge a line.
        for (const StoredRow& row : LastRows(db, kind, static_cast<int>(last), error)) {
            std::cout << KindName(kind) << " #" << row.values.at("id") << " " << row.values.at("received_at") << " "
                      << EscapeForTerminal(row.values.at("client_address"));
            for (const ReportColumn& column : ColumnsOf(kind)) {
                std::cout << " " << column.member << "=" << EscapeForTerminal(row.values.at(column.member));
            }
            std::cout << "\n";
        }
    }
    return 0;
}
