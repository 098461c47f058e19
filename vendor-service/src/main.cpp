// trevanto-servicio: the vendor's service for the Trevanto agent.
//
//   trevanto-servicio serve ...     the HTTPS service (commands/serve.h)
//   trevanto-servicio reports ...   the last stored rows (commands/reports_command.h)
//   trevanto-servicio store copy    every row into a new store (commands/store_command.h)
//   trevanto-servicio signing ...   the vendor's keys and signatures (commands/signing_command.h)
#include <iostream>

#include "commands/command_help.h"
#include "commands/fleet_commands.h"
#include "commands/options.h"
#include "commands/reports_command.h"
#include "commands/serve.h"
#include "commands/signing_command.h"
#include "commands/store_command.h"

namespace {

int Usage() {
    std::cerr << "usage:\n"
                 "  trevanto-servicio serve --data DIR (--cert FILE --key FILE | --plain) [options]\n"
                 "  trevanto-servicio reports --db FILE [--kind checkin|update|acceptance] [--last N]\n"
                 "  trevanto-servicio release add|list ...\n"
                 "  trevanto-servicio rollout start|list|pause|resume|advance|halt ...\n"
                 "  trevanto-servicio operator add|passwd|remove --db FILE --name NAME   (password on standard input)\n"
                 "  trevanto-servicio store copy --from FILE|CONNECTION --to FILE|CONNECTION\n"
                 "  trevanto-servicio signing keygen|public|sign|statement|verify ...\n"
                 "Each command's options: trevanto-servicio COMMAND [SUBCOMMAND] --help\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    if (!ParseCommandLine(argc, argv, CommandSwitches(), line)) {
        const CommandHelp* help = FindCommandHelp(line);
        if (help == nullptr) return Usage();
        std::cerr << RefusedWord(line, *help) << "\n" << CommandUsage(*help);
        return 2;
    }
    // A command's own usage when asked for, or when given an option it does not take.
    if (const CommandHelp* help = FindCommandHelp(line)) {
        std::string unknown;
        if (HasOption(line, "help")) {
            std::cout << CommandUsage(*help);
            return 0;
        }
        if (!OnlyKnownOptions(line, *help, unknown)) {
            std::cerr << "unknown option --" << unknown << "\n" << CommandUsage(*help);
            return 2;
        }
    }
    if (line.command == "serve") return Serve(line);
    if (line.command == "reports") return ListReports(line);
    if (line.command == "release") return ReleaseCommand(line);
    if (line.command == "rollout") return RolloutCommandLine(line);
    if (line.command == "operator") return OperatorCommand(line);
    if (line.command == "store") return StoreCommand(line);
    if (line.command == "signing") return SigningCommand(line);
    return Usage();
}
