#include "commands/fleet_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "agents/contract.h"
#include "agents/file_hashes.h"
#include "agents/served_files.h"
#include "console/accounts.h"
#include "http/text_escape.h"
#include "rollouts/rollout_rules.h"
#include "service_settings.h"
#include "storage/sqlite_fleet.h"
#include "storage/sqlite_store.h"

namespace {

// A wrong command line: exit status 2.
int Fail(const std::string& text) {
    std::cerr << text << "\n";
    return 2;
}

bool Refuse(const std::string& text) {
    Fail(text);
    return false;
}

// The store would not do it: exit status 1.
int StoreError(const std::string& text) {
    std::cerr << text << "\n";
    return 1;
}

// The store for a command: --db, else servicio.db in --data.
bool OpenCommandStore(const CommandLine& line, SqliteConnection& db, int& exitCode) {
    const std::string path = Option(line, "db", HasOption(line, "data") ? Option(line, "data", "") + "/servicio.db" : "");
    if (path.empty()) {
        exitCode = Fail("--db FILE (or --data DIR) is needed");
        return false;
    }
    std::string error;
    if (!OpenSqliteStore(path, db, error, exitCode)) {
        std::cerr << (exitCode == 2 ? "the database " + path + " has an older layout: " : "cannot open the database " + path + ": ")
                  << error << "\n";
        return false;
    }
    sqlite3_busy_timeout(db.Get(), 5000);
    return true;
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A package served from the data folder: its address, size and hash.
bool DescribeServedFile(const CommandLine& line, Release& release) {
    const std::string data = Option(line, "data", "");
    std::string path = Option(line, "file", "");
    if (path.rfind("archivos/", 0) == 0) path = path.substr(8);
    if (path.empty() || path[0] != '/') path = "/" + path;
    if (data.empty()) return Refuse("--file needs --data DIR");
    const int fd = OpenServedFile(DataFolder{data}, path);
    if (fd < 0) return Refuse("no file " + path + " is served from " + data + "/archivos");
    struct stat info = {};
    std::string hex;
    const bool ok = fstat(fd, &info) == 0 && Sha256OfDescriptor(fd, hex);
    close(fd);
    if (!ok) return Refuse("cannot read " + data + "/archivos" + path);
    const std::string host = line.hosts.empty() ? service_settings::DownloadHost : line.hosts.front();
    release.url = "https://" + host + path;
    release.servedPath = path;
    release.size = static_cast<uint64_t>(info.st_size);
    release.sha256 = hex;
    return true;
}

int AddRelease(const CommandLine& line) {
    Release release;
    release.product = Option(line, "product", "");
    release.version = Option(line, "version", "");
    int order = 0;
    if (!IsProductKeyName(release.product)) return Fail("--product must be a product key (letters, digits, _ and -)");
    if (!contract::CompareVersions(release.version, release.version, order)) {
        return Fail("--version must be digits and dots");
    }
    if (HasOption(line, "file") == HasOption(line, "url")) return Fail("give either --file or --url");
    if (HasOption(line, "file")) {
        if (!DescribeServedFile(line, release)) return 2;
    } else {
        release.url = Option(line, "url", "");
        release.sha256 = Option(line, "sha256", "");
        long long size = 0;
        if (release.url.rfind("https://", 0) != 0) return Fail("--url must be an https:// address");
        if (!IsSha256Hex(release.sha256)) return Fail("--sha256 must be 64 lower-case hex digits");
        if (!NumberOption(line, "size", 0, 1, 1LL << 40, size) || !HasOption(line, "size")) {
            return Fail("--size must give the package's size in bytes");
        }
        release.size = static_cast<uint64_t>(size);
    }
    SqliteConnection db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::string error;
    if (!InsertRelease(db.Get(), release, error)) return StoreError(error);
    std::cout << "release " << release.id << " " << release.product << " " << release.version << " " << release.url
              << " " << release.size << " bytes sha256=" << release.sha256 << "\n";
    return 0;
}

int ListReleases(const CommandLine& line) {
    SqliteConnection db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::vector<Release> releases;
    std::string error;
    if (!LoadReleases(db.Get(), releases, error)) return StoreError(error);
    for (const Release& release : releases) {
        std::cout << "release " << release.id << " " << release.product << " " << release.version << " "
                  << EscapeForTerminal(release.url) << " " << release.size << " " << release.createdAt << "\n";
    }
    return 0;
}

std::vector<std::string> SplitList(const std::string& text, bool lower) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        std::string part = text.substr(start, end - start);
        if (lower) {
            for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (!part.empty()) parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// Reads the targeting and the settings of a new rollout; false after saying why.
bool ReadRolloutOptions(const CommandLine& line, Rollout& rollout) {
    Targeting& targeting = rollout.targeting;
    targeting.versions = SplitList(Option(line, "replaces", ""), false);
    targeting.from = Option(line, "from", "");
    targeting.to = Option(line, "to", "");
    int order = 0;
    for (const std::string& version : targeting.versions) {
        if (!contract::CompareVersions(version, version, order)) return Refuse("--replaces: \"" + version + "\" is no version");
    }
    for (const std::string* end : {&targeting.from, &targeting.to}) {
        if (!end->empty() && !contract::CompareVersions(*end, *end, order)) return Refuse("--from and --to take versions");
    }
    if (targeting.versions.empty() && targeting.from.empty() && targeting.to.empty()) {
        return Refuse("say which versions the release replaces: --replaces V1,V2 or --from V --to V");
    }
    RolloutSettings& settings = rollout.settings;
    settings.pilotHosts = SplitList(Option(line, "pilot", ""), true);
    std::vector<double> percents;
    if (!ParsePercents(Option(line, "stages", "1,10,50,100"), percents)) {
        return Refuse("--stages takes rising percentages up to 100, as 1,10,50,100");
    }
    settings.stages = StagesOf(percents, !settings.pilotHosts.empty());
    long long minOutcomes = 0, maxFailures = 0, percent = 0, soak = 0, retry = 0, attempts = 0;
    if (!NumberOption(line, "min-outcomes", 10, 1, 1000000, minOutcomes) ||
        !NumberOption(line, "max-failures", 0, 0, 1000000, maxFailures) ||
        !NumberOption(line, "max-failure-percent", 5, 0, 100, percent) ||
        !NumberOption(line, "soak-minutes", 60, 0, 525600, soak) ||
        !NumberOption(line, "retry-hours", 24, 0, 8760, retry) ||
        !NumberOption(line, "max-attempts", 3, 1, 100, attempts)) {
        return false;
    }
    settings.minOutcomes = static_cast<int>(minOutcomes);
    settings.maxFailures = static_cast<int>(maxFailures);
    settings.maxFailureRate = static_cast<double>(percent) / 100.0;
    settings.soakSeconds = static_cast<int>(soak * 60);
    long long soakSeconds = 0;
    if (HasOption(line, "soak-seconds")) {
        if (!NumberOption(line, "soak-seconds", 0, 0, 31536000, soakSeconds)) return false;
        settings.soakSeconds = static_cast<int>(soakSeconds);
    }
    settings.autoAdvance = !HasOption(line, "manual");
    settings.retryPauseSeconds = static_cast<int>(retry * 3600);
    settings.maxAttempts = static_cast<int>(attempts);
    return true;
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
    if (!HasOption(line, "release") || !NumberOption(line, "release", 0, 1, 1LL << 50, releaseId)) {
        return Fail("--release ID is needed");
    }
    Rollout rollout;
    if (!ReadRolloutOptions(line, rollout)) return 2;
    SqliteConnection db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::string error;
    if (!LoadRelease(db.Get(), releaseId, rollout.release, error) || !InsertRollout(db.Get(), rollout, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    PrintRollout(rollout);
    return 0;
}

int ListRollouts(const CommandLine& line) {
    SqliteConnection db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::vector<Rollout> rollouts;
    std::string error;
    if (!LoadRollouts(db.Get(), rollouts, error)) return StoreError(error);
    for (const Rollout& rollout : rollouts) PrintRollout(rollout);
    return 0;
}

int CommandOnRollout(const CommandLine& line, const std::string& action) {
    long long id = 0;
    if (!HasOption(line, "id") || !NumberOption(line, "id", 0, 1, 1LL << 50, id)) return Fail("--id N is needed");
    SqliteConnection db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    RolloutCommand command{id, action, "de la linea de comandos"};
    std::string error;
    if (!ApplyRolloutCommand(db.Get(), command, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    Rollout rollout;
    if (LoadRollout(db.Get(), id, rollout, error)) PrintRollout(rollout);
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
    if (line.subcommand != "add") return Fail("usage: trevanto-servicio operator add --db FILE --name NAME");
    const std::string name = Option(line, "name", "");
    if (!IsOperatorName(name)) return Fail("--name: letters, digits, '.', '_' and '-', 1 to 64");
    std::string password;
    std::getline(std::cin, password);
    if (password.size() < 10) return Fail("the password (on standard input) needs at least 10 characters");
    SqliteConnection db;
    int exitCode = 0;
    if (!OpenCommandStore(line, db, exitCode)) return exitCode;
    std::string error;
    if (!SaveOperator(db.Get(), name, password, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::cout << "operator " << name << " can log in to /panel/\n";
    return 0;
}
