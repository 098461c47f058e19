// trevanto-servicio: the vendor's service for the Trevanto agent.
//
//   trevanto-servicio serve ...     the HTTPS service (commands/serve.h)
//   trevanto-servicio reports ...   the last stored rows (commands/reports_command.h)
#include <iostream>

#include "commands/options.h"
#include "commands/reports_command.h"
#include "commands/serve.h"

namespace {

int Usage() {
    std::cerr << "usage:\n"
                 "  trevanto-servicio serve --data DIR (--cert FILE --key FILE | --plain) [options]\n"
                 "  trevanto-servicio reports --db FILE [--kind checkin|update|acceptance] [--last N]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    if (!ParseCommandLine(argc, argv, {"plain"}, line)) return Usage();
    if (line.command == "serve") return Serve(line);
    if (line.command == "reports") return ListReports(line);
    return Usage();
}
