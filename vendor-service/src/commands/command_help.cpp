#include "commands/command_help.h"

#include <set>

namespace {

const OptionHelp Store = {"db", "FILE|CONNECTION", "DIR/servicio.db with --data",
                          "the store: a SQLite file, or a PostgreSQL connection (\"host=... dbname=...\")"};
const OptionHelp Data = {"data", "DIR", "", "the service's data folder (its store is DIR/servicio.db)"};
const OptionHelp Help = {"help", "", "", "prints this usage"};

const std::vector<CommandHelp>& Commands() {
    static const std::vector<CommandHelp> commands = {
        {"serve", "", "The HTTPS service for the agents, and the console on an address of its own.",
         {{"data", "DIR", "", "the data folder: archivos/ is served, servicio.db is the store (required)"},
          Store,
          {"cert", "FILE", "", "the TLS certificate chain (PEM); with --key, unless --plain"},
          {"key", "FILE", "", "the certificate's private key (PEM)"},
          {"plain", "", "", "plain HTTP instead of TLS (behind a balancer that ends TLS)"},
          {"address", "IP", "127.0.0.1", "the address the agents' API listens on"},
          {"port", "N", "443", "its port"},
          {"threads", "N", "the machine's cores", "threads serving requests"},
          {"max-connections", "N", "20000", "open connections at most"},
          {"queue-mb", "N", "32", "reports waiting for the store, in MiB, before new ones are refused"},
          {"rate", "N", "2", "requests per second per client address (0: no limit)"},
          {"burst", "N", "30", "requests a client may send at once above its rate"},
          {"retention-days", "N", "90", "days a report is kept"},
          {"store-max-mb", "N", "1024", "the store's size at most, in MiB; the oldest reports go first"},
          {"hash-settle-ms", "N", "1000", "how long a package file must stay unchanged before it is hashed"},
          {"api-key", "TEXT", "the agent's built-in key", "the key agents send"},
          {"checkin-path", "PATH", "the agent's built-in path", "the check-in's path"},
          {"log", "FILE", "standard output", "the access and event log"},
          {"host", "NAME", "every name", "a host name the service answers for (repeatable)"},
          {"trusted-proxy", "IP[/BITS]", "none", "a balancer whose X-Forwarded-For is believed (repeatable)"},
          {"panel-port", "N", "0", "the console's port (0: no console)"},
          {"panel-address", "IP", "127.0.0.1", "the console's address"},
          {"panel-with-agents", "", "", "also serve the console beside the agents' API"},
          {"upload-max-mb", "N", "2048", "the largest package uploaded through the console, in MiB"},
          {"new-installations-per-network", "N", "100",
           "installations one network may add to the store in a day"}},
         "trevanto-servicio serve --data /srv/trevanto --cert cert.pem --key key.pem --port 443 --panel-port 8443"},
        {"reports", "", "The last rows the store holds.",
         {Store, {"kind", "checkin|update|acceptance", "every kind", "which reports"}, {"last", "N", "10", "how many"}},
         "trevanto-servicio reports --db /srv/trevanto/servicio.db --kind update --last 20"},
        {"release", "add", "Adds a release of a product: a package in the data folder, or an outside address.",
         {Data, Store,
          {"product", "KEY", "", "the product's key, as the agents send it (required)"},
          {"version", "V", "", "the new version, four numbers (required)"},
          {"file", "paquetes/NAME", "", "the package under DIR/archivos (or --url, --size and --sha256)"},
          {"url", "https://...", "", "the package's outside address"},
          {"size", "BYTES", "", "its size, with --url"},
          {"sha256", "HEX", "", "its SHA-256, with --url"},
          {"host", "NAME", "the vendor's download host", "the host name in the package's address, for --file"},
          {"signature", "TEXT", "none", "the package's signature, as `signing sign` prints it"},
          {"statement", "TEXT", "none", "the release statement, as `signing statement` prints it"},
          {"new-product", "", "", "admit a product neither the catalogue nor the fleet knows"}},
         "trevanto-servicio release add --data /srv/trevanto --product MarvekMesalto --version 6.0.3.17 "
         "--file paquetes/mesalto_6.0.3.17.zip"},
        {"release", "list", "Lists the releases.", {Data, Store}, "trevanto-servicio release list --db servicio.db"},
        {"rollout", "start", "Starts offering a release, stage by stage.",
         {Data, Store,
          {"release", "ID", "", "the release (required)"},
          {"replaces", "V1,V2", "", "the versions it replaces (or --from and --to)"},
          {"from", "V", "", "the lowest version it replaces"},
          {"to", "V", "", "the highest version it replaces"},
          {"pilot", "HOST,HOST", "none", "hosts offered it first, as a stage of their own"},
          {"stages", "P,P,...", "1,10,50,100", "each stage's share of the fleet, in percent"},
          {"min-outcomes", "N", "20", "outcomes a stage needs before it may halt on its rate or advance"},
          {"max-failures", "N", "0", "failed installations that halt a stage at once (0: no such limit)"},
          {"max-failure-percent", "P", "10", "the failed share of a stage's outcomes that halts it"},
          {"soak-minutes", "M", "60", "a stage's time before it advances by itself"},
          {"soak-seconds", "S", "", "the same in seconds; wins over --soak-minutes"},
          {"manual", "", "", "stages advance only by hand"},
          {"retry-hours", "H", "24", "when an installation that failed is offered it again"},
          {"max-attempts", "N", "3", "offers to one installation at most"},
          {"min-networks", "N", "3", "networks a stage's outcomes must come from to decide anything"},
          {"network-weight", "N", "5", "installations one network weighs at most (0: no bound)"},
          {"min-age-days", "N", "0", "days an installation must have been known to count"},
          {"min-days-seen", "N", "0", "distinct days an installation must have been seen on to count"}},
         "trevanto-servicio rollout start --db servicio.db --release 3 --replaces 5.2.1.0 --stages 10,50,100"},
        {"rollout", "list", "Lists the rollouts.", {Data, Store}, "trevanto-servicio rollout list --db servicio.db"},
        {"rollout", "pause|resume|advance|halt", "Pauses, resumes, advances or halts a rollout.",
         {Data, Store, {"id", "N", "", "the rollout (required)"}},
         "trevanto-servicio rollout halt --db servicio.db --id 4"},
        {"operator", "add|passwd|remove", "Adds a console operator, changes one's password, or removes one; the "
                                          "password is read from standard input.",
         {Data, Store, {"name", "NAME", "", "the operator (required)"}},
         "trevanto-servicio operator add --db servicio.db --name ana < clave.txt"},
        {"store", "copy", "Copies every row into a new store (SQLite to PostgreSQL, or back).",
         {{"from", "FILE|CONNECTION", "", "the store copied (required)"},
          {"to", "FILE|CONNECTION", "", "the new, empty store (required)"}},
         "trevanto-servicio store copy --from servicio.db --to \"host=db dbname=trevanto\""},
        {"signing", "keygen|public", "Makes a key pair and prints its public key, or prints it again.",
         {{"key", "FILE", "", "the private key (required)"}},
         "trevanto-servicio signing keygen --key vendedor.pem"},
        {"signing", "sign", "Prints a package's signature.",
         {{"key", "FILE", "", "the private key (required)"}, {"file", "PACKAGE", "", "the package (required)"}},
         "trevanto-servicio signing sign --key vendedor.pem --file mesalto_6.0.3.17.zip"},
        {"signing", "statement", "Prints the release statement of a file.",
         {{"key", "FILE", "", "the private key (required)"},
          {"kind", "programa|agente|instalador", "", "what the file is (required)"},
          {"product", "KEY", "", "the product, for a program"},
          {"version", "V", "", "its version (required)"},
          {"file", "PATH", "", "the file (required)"},
          {"name", "NAME", "the file's base name", "the name the statement gives it"}},
         "trevanto-servicio signing statement --key vendedor.pem --kind programa --product MarvekMesalto "
         "--version 6.0.3.17 --file mesalto_6.0.3.17.zip"},
        {"signing", "verify", "Verifies a signature: exit status 0 when it does, 1 when not.",
         {{"public-key", "TEXT", "", "the public key (required)"},
          {"file", "PACKAGE", "", "the package (required)"},
          {"signature", "TEXT", "", "the signature (required)"}},
         "trevanto-servicio signing verify --public-key ... --file mesalto_6.0.3.17.zip --signature ..."},
    };
    return commands;
}

bool Names(const std::string& list, const std::string& word) {
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find('|', start), list.size());
        if (list.compare(start, end - start, word) == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

const CommandHelp* FindCommandHelp(const CommandLine& line) {
    for (const CommandHelp& help : Commands()) {
        if (line.command != help.command) continue;
        if (*help.subcommands == '\0' ? line.subcommand.empty() : Names(help.subcommands, line.subcommand)) return &help;
    }
    return nullptr;
}

std::string CommandUsage(const CommandHelp& help) {
    std::string text = std::string("usage: trevanto-servicio ") + help.command;
    if (*help.subcommands != '\0') text += std::string(" ") + help.subcommands;
    text += " [options]\n" + std::string(help.summary) + "\n\noptions:\n";
    std::vector<OptionHelp> options = help.options;
    options.push_back(Help);
    for (const OptionHelp& option : options) {
        std::string left = std::string("  --") + option.name + (*option.value ? std::string(" ") + option.value : "");
        if (left.size() < 34) left.resize(34, ' ');
        else left += "\n" + std::string(34, ' ');
        text += left + option.meaning;
        if (*option.fallback != '\0') text += std::string(" (default: ") + option.fallback + ")";
        text += "\n";
    }
    return text + "\nexample:\n  " + help.example + "\n";
}

std::vector<std::string> CommandSwitches() {
    std::set<std::string> switches = {Help.name};
    for (const CommandHelp& help : Commands()) {
        for (const OptionHelp& option : help.options) {
            if (*option.value == '\0') switches.insert(option.name);
        }
    }
    return {switches.begin(), switches.end()};
}

std::set<std::string> KnownOptions(const CommandHelp& help) {
    std::set<std::string> known = {Help.name};
    for (const OptionHelp& option : help.options) known.insert(option.name);
    return known;
}

std::string RefusedWord(const CommandLine& line, const CommandHelp& help) {
    if (line.refused.rfind("--", 0) != 0 || line.refused.size() == 2) return "unexpected argument " + line.refused;
    if (KnownOptions(help).count(line.refused.substr(2)) == 0) return "unknown option " + line.refused;
    return "option " + line.refused + " needs a value";
}

bool OnlyKnownOptions(const CommandLine& line, const CommandHelp& help, std::string& unknown) {
    const std::set<std::string> known = KnownOptions(help);
    for (const auto& [name, value] : line.options) {
        if (known.count(name) == 0) {
            unknown = name;
            return false;
        }
    }
    return true;
}
