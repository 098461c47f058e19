#include "commands/fleet_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "agents/contract.h"
#include "console/accounts.h"
#include "console/password_policy.h"
#include "http/text_escape.h"
#include "rollouts/fleet_requests.h"
#include "rollouts/rollout_rules.h"
#include "service_settings.h"
#include "storage/audit_store.h"
#include "storage/fleet_store.h"
#include "storage/store.h"

namespace {

// A wrong command line: exit status 2.
int Fail(const std::string& text) {
    std::cerr << text << "\n";
    return 2;
}

// The store would not do it: exit status 1.
int StoreError(const std::string& text) {
    std::cerr << text << "\n";
    return 1;
}

// The store for a command: --db, else servicio.db in --data.
bool OpenCommandStore(const CommandLine& line, Database& db, int& exitCode) {
    // --db is a SQLite file or a PostgreSQL connection string.
    const std::string path = Option(line, "db", HasOption(line, "data") ? Option(line, "data", "") + "/servicio.db" : "");
    if (path.empty()) {
        exitCode = Fail("--db FILE (or --data DIR) is needed");
        return false;
    }
    std::string error;
    if (!OpenStore(path, db, error, exitCode)) {
        std::cerr << (exitCode == 2 ? "the database " + path + " has an older layout: " : "cannot open the database " + path + ": ")
                  << error << "\n";
        return false;
    }
    return true;
}

// The command line's options as named values (a switch reads as "1").
FieldOf OptionsOf(const CommandLine& line) {
    return [&line](const std::string& name) { return Option(line, name, ""); };
}

// A request's refusal as the command line names its options.
int Refused(const RequestError& error) {
    return Fail(error.Named("--" + error.field));
}

int AddRelease(const CommandLine& line) {
    Release release;
    RequestError refusal;
    const std::vector<std::string> hosts = Options(line, "host");
    const std::string host = hosts.empty() ? service_settings::DownloadHost : hosts.front();
    if (!ReadReleaseRequest(OptionsOf(line), Option(line, "data", ""), host, release, refusal)) return Refused(refusal);
    Database db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::string error, nearest;
    std::vector<std::string> known;
    if (!HasOption(line, "new-product") && !KnownProducts(db, known, error)) return StoreError(error);
    if (!HasOption(line, "new-product") && !IsKnownProduct(release.product, known, nearest)) {
        return Fail("el producto " + release.product + " no es del catálogo ni de la flota" +
                    (nearest.empty() ? "" : " (¿quería decir " + nearest + "?)") +
                    "; --new-product lo admite como producto nuevo");
    }
    if (!InsertRelease(db, release, error)) return StoreError(error);
    std::cout << "release " << release.id << " " << release.product << " " << release.version << " " << release.url
              << " " << release.size << " bytes sha256=" << release.sha256
              << (release.signature.empty() && release.statement.empty() ? " sin firma" : " firmada") << "\n";
    return 0;
}

int ListReleases(const CommandLine& line) {
    Database db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::vector<Release> releases;
    std::string error;
    if (!LoadReleases(db, releases, error)) return StoreError(error);
    for (const Release& release : releases) {
        std::cout << "release " << release.id << " " << release.product << " " << release.version << " "
                  << EscapeForTerminal(release.url) << " " << release.size << " " << release.createdAt
                  << (release.signature.empty() && release.statement.empty() ? " sin firma" : " firmada") << "\n";
    }
    return 0;
}

void PrintRollout(const Rollout& rollout) {
    std::cout << "rollout " << rollout.id << " " << rollout.status << " release " << rollout.release.id << " "
              << rollout.release.product << " " << rollout.release.version << " stage " << rollout.currentStage + 1
              << "/" << rollout.settings.stages.size() << " ("
              << StageName(rollout.settings.stages.empty() ? Stage{} : rollout.settings.stages[static_cast<size_t>(rollout.currentStage)])
              << ")";
    if (!rollout.haltReason.empty()) std::cout << " reason: " << EscapeForTerminal(rollout.haltReason);
    std::cout << "\n";
}

int StartRollout(const CommandLine& line) {
    long long releaseId = 0;
    Rollout rollout;
    RequestError refusal;
    if (!ReadRolloutRequest(OptionsOf(line), releaseId, rollout, refusal)) return Refused(refusal);
    std::string error;
    Database db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    if (!LoadRelease(db, releaseId, rollout.release, error) || !InsertRollout(db, rollout, error)) {
        return StoreError(error);
    }
    PrintRollout(rollout);
    return 0;
}

int ListRollouts(const CommandLine& line) {
    Database db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::vector<Rollout> rollouts;
    std::string error;
    if (!LoadRollouts(db, rollouts, error)) return StoreError(error);
    for (const Rollout& rollout : rollouts) PrintRollout(rollout);
    return 0;
}

int CommandOnRollout(const CommandLine& line, const std::string& action) {
    long long id = 0;
    if (!HasOption(line, "id") || !NumberOption(line, "id", 0, 1, 1LL << 50, id)) return Fail("--id N is needed");
    Database db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    RolloutCommand command{id, action, CommandLineActor};
    std::string error;
    if (!ApplyRolloutCommand(db, command, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    Rollout rollout;
    if (LoadRollout(db, id, rollout, error)) PrintRollout(rollout);
    return 0;
}

}  // namespace

int ReleaseCommand(const CommandLine& line) {
    if (line.subcommand == "add") return AddRelease(line);
    if (line.subcommand == "list") return ListReleases(line);
    return Fail("usage: trevanto-servicio release add|list ...");
}

int RolloutCommandLine(const CommandLine& line) {
    if (line.subcommand == "start") return StartRollout(line);
    if (line.subcommand == "list") return ListRollouts(line);
    if (line.subcommand == "pause") return CommandOnRollout(line, "pausar");
    if (line.subcommand == "resume") return CommandOnRollout(line, "reanudar");
    if (line.subcommand == "advance") return CommandOnRollout(line, "avanzar");
    if (line.subcommand == "halt") return CommandOnRollout(line, "detener");
    return Fail("usage: trevanto-servicio rollout start|list|pause|resume|advance|halt ...");
}

int OperatorCommand(const CommandLine& line) {
    const std::string& action = line.subcommand;
    if (action != "add" && action != "passwd" && action != "remove") {
        return Fail("usage: trevanto-servicio operator add|passwd|remove --db FILE --name NAME");
    }
    const std::string name = Option(line, "name", "");
    if (!IsOperatorName(name)) return Fail("--name: letters, digits, '.', '_' and '-', 1 to 64");
    std::string password;
    if (action != "remove") {
        std::string reason;
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (!AcceptablePassword(password, name, reason)) return Fail("the password (on standard input): " + reason);
    }
    Database db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::string error;
    const bool done = action == "remove" ? RemoveOperator(db, name, error)
                                         : SaveOperator(db, name, password, error, action == "passwd");
    if (!done) return StoreError(error);
    if (action == "add") std::cout << "operator " << name << " can log in to /panel/\n";
    if (action == "passwd") std::cout << "operator " << name << " has a new password; every session of it is closed\n";
    if (action == "remove") std::cout << "operator " << name << " removed; every session of it is closed\n";
    return 0;
}
