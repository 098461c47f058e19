#include "commands/serve.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <memory>
#include <thread>

#include "agents/contract.h"
#include "agents/file_hashes.h"
#include "core/http_server.h"
#include "http/access_log.h"
#include "http/forwarded_for.h"
#include "http/rate_limit.h"
#include "http/text_escape.h"
#include "routes/routes.h"
#include "service_settings.h"
#include "storage/rate_share.h"
#include "storage/read_pool.h"
#include "rollouts/offer_token.h"
#include "storage/fleet_store.h"
#include "storage/store.h"
#include "storage/store_writer.h"
#include "webhooks/webhook_sender.h"

namespace {

constexpr size_t LogBufferBytes = size_t{4} * 1024 * 1024;
constexpr int WriterStopMs = 300;
constexpr int LogStopMs = 150;
constexpr int ReadThreads = 2;
constexpr size_t ReadQueue = 10000;
constexpr int RolloutRefreshMs = 1000;

struct ServeSettings {
    ListenSettings listen;
    Limits limits;
    RateSettings rates;
    StoreSettings store;
    WriterSettings writer;
    std::string data;
    std::string logFile;
    int hashSettleMs = 1000;
    std::string panelAddress;
    int panelPort = 0;
    uint64_t uploadMaxBytes = uint64_t{2048} << 20;
    bool panelWithAgents = false;  // the console beside the agents' routes, as asked for
};

int Usage() {
    std::cerr << "usage: trevanto-servicio serve --data DIR (--cert FILE --key FILE | --plain) [--address A]\n"
                 "         [--port P] [--threads N] [--db FILE] [--log FILE] [--api-key KEY] [--checkin-path PATH]\n"
                 "         [--host NAME]... [--rate N] [--burst N] [--retention-days N] [--store-max-mb N]\n"
                 "         [--queue-mb N] [--hash-settle-ms N] [--max-connections N]\n"
                 "         [--new-installations-per-network N]\n"
                 "         [--panel-port P [--panel-address A] | --panel-with-agents] [--trusted-proxy ADDRESS]...\n";
    return 2;
}

// Reads every option; false after saying why.
bool ReadSettings(const CommandLine& line, ServeSettings& settings) {
    settings.data = Option(line, "data", "");
    settings.listen.tls = !HasOption(line, "plain");
    settings.listen.certificateFile = Option(line, "cert", "");
    settings.listen.keyFile = Option(line, "key", "");
    settings.listen.address = Option(line, "address", "127.0.0.1");
    settings.logFile = Option(line, "log", "");
    // The console answers on loopback unless told otherwise, and never on
    // the agents' address unless asked to.
    settings.panelAddress = Option(line, "panel-address", "127.0.0.1");
    settings.panelWithAgents = HasOption(line, "panel-with-agents");
    settings.store.target = Option(line, "db", settings.data + "/servicio.db");
    for (const std::string& proxy : Options(line, "trusted-proxy")) {
        if (!IsIpAddress(proxy)) {
            std::cerr << "--trusted-proxy must be an IP address, not \"" << proxy << "\"\n";
            return false;
        }
        settings.listen.trustedProxies.push_back(proxy);
    }
    long long panelPort = 0;
    long long port = 0, threads = 0, rate = 0, burst = 0, days = 0, storeMb = 0, queueMb = 0, settle = 0,
              connections = 0, newPerNetwork = 0, uploadMb = 0;
    const FleetLimits fleetDefaults;
    const long long cores = std::max(1u, std::thread::hardware_concurrency());
    if (!NumberOption(line, "port", 443, 1, 65535, port) || !NumberOption(line, "threads", cores, 1, 64, threads) ||
        !NumberOption(line, "rate", 2, 0, 1000000, rate) || !NumberOption(line, "burst", 30, 1, 1000000, burst) ||
        !NumberOption(line, "retention-days", 90, 1, 36500, days) ||
        !NumberOption(line, "store-max-mb", 1024, 1, 16LL * 1024 * 1024, storeMb) ||
        !NumberOption(line, "queue-mb", 32, 1, 4096, queueMb) ||
        !NumberOption(line, "hash-settle-ms", 1000, 0, 3600LL * 1000, settle) ||
        !NumberOption(line, "max-connections", 20000, 1, 1000000, connections) ||
        !NumberOption(line, "panel-port", 0, 0, 65535, panelPort) ||
        !NumberOption(line, "upload-max-mb", 2048, 1, 1024LL * 1024, uploadMb) ||
        !NumberOption(line, "new-installations-per-network", fleetDefaults.newInstallationsPerNetworkDay, 0, 100000000,
                      newPerNetwork)) {
        return false;
    }
    if (panelPort != 0 && settings.panelWithAgents) {
        std::cerr << "--panel-port and --panel-with-agents exclude each other: the console has one place\n";
        return false;
    }
    if (HasOption(line, "panel-address") && panelPort == 0) {
        std::cerr << "--panel-address needs --panel-port\n";
        return false;
    }
    settings.store.fleet.newInstallationsPerNetworkDay = static_cast<int>(newPerNetwork);
    settings.listen.port = static_cast<int>(port);
    settings.listen.threads = static_cast<int>(threads);
    settings.rates.perSecond = static_cast<double>(rate);
    settings.rates.burst = static_cast<double>(burst);
    settings.store.retentionDays = static_cast<int>(days);
    settings.store.maxBytes = static_cast<uint64_t>(storeMb) * 1024 * 1024;
    settings.writer.maxQueuedBytes = static_cast<size_t>(queueMb) * 1024 * 1024;
    settings.hashSettleMs = static_cast<int>(settle);
    settings.limits.maxConnections = static_cast<int>(connections);
    settings.panelPort = static_cast<int>(panelPort);
    settings.uploadMaxBytes = static_cast<uint64_t>(uploadMb) << 20;
    if (settings.data.empty() || (settings.listen.tls && (settings.listen.certificateFile.empty() ||
                                                          settings.listen.keyFile.empty()))) {
        Usage();
        return false;
    }
    return true;
}

// The signals that end the service are taken by sigwait() alone: blocked
// here, before any thread starts, so every thread inherits the mask.
sigset_t TerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a log reader or client that left is an error code, not the end
    return signals;
}

std::string CountersText(const WriterCounters& counters) {
    return "stored=" + std::to_string(counters.stored) +
           " answered-before-commit=" + std::to_string(counters.answeredBeforeCommit) +
           " refused=" + std::to_string(counters.refused) + " lost-at-stop=" + std::to_string(counters.lostAtStop);
}

}  // namespace

namespace {

// The store's layout checked before anything starts: a layout this service
// cannot use needs the operator. A store that cannot be written now (a full
// disk, a read-only folder, a lock) does not keep agents from their
// documents: the service starts, and the writer keeps trying.
bool StoreLayoutUsable(const std::string& path) {
    Database db;
    std::string error;
    int exitCode = 0;
    if (!OpenStore(path, db, error, exitCode) && exitCode == 2) {
        std::cerr << "the database " << path << " has an older layout: " << error << "\n";
        return false;
    }
    return true;
}

// The secret for installation ids and offer tokens: in the data folder
// beside a SQLite store; in the store itself for PostgreSQL, so that every
// instance on it signs alike. The first instance on a new PostgreSQL store
// puts the data folder's secret there when it has one, and a SQLite store
// copied from PostgreSQL gives the data folder the store's: either way a
// vendor that moves keeps its installations' ids and the tokens given out.
// A folder's secret that differs from the store's is said, not used.
bool ServiceSecret(const ServeSettings& settings, std::string& secret, std::string& error) {
    const DataFolder data{settings.data};
    std::string inFolder, inStore;
    const SecretFile file = ReadSecret(data, inFolder, error);
    if (file == SecretFile::Unusable) return false;
    const bool stored = ReadStoredSecret(settings.store.target, inStore);
    if (file == SecretFile::Read && stored && inStore != inFolder) {
        std::cerr << "warning: the data folder's secreto.key differs from the secret in the store; "
                  << (IsPostgresTarget(settings.store.target) ? "the store's" : "the folder's")
                  << " is used, and installation ids and offer tokens follow it\n";
    }
    if (!IsPostgresTarget(settings.store.target)) return LoadOrMakeSecret(data, stored ? inStore : "", secret, error);
    Database db;
    int exitCode = 0;
    return OpenStore(settings.store.target, db, error, exitCode) &&
           SharedSecret(db, file == SecretFile::Read ? inFolder : NewSecret(), secret, error);
}

// The log's descriptor: standard output, or the file given; -1 after saying why.
int OpenLogFile(const std::string& path) {
    if (path.empty()) return STDOUT_FILENO;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) std::cerr << "cannot open the log " << path << "\n";
    return fd;
}

// What the writer tells the service: store health in the log, reports and
// stopped rollouts to the rollout cache (once it exists).
void HookWriter(ServeSettings& settings, AccessLog& log, std::atomic<RolloutCache*>& cache, WebhookSender& webhooks) {
    settings.writer.onHealthChange = [&log](bool healthy, const std::string& error) {
        log.Write(EventLogLine(UtcNowMillisText(), healthy ? "store-available" : "store-failing",
                               healthy ? "" : "error=" + EscapeLogValue(error)));
    };
    settings.writer.onCommitted = [&cache, &webhooks](const std::vector<const PendingRow*>& rows) {
        RolloutCache* rollouts = cache.load();
        for (const PendingRow* row : rows) {
            if (row->link && rollouts != nullptr) {
                rollouts->NoteOutcome(row->link->rolloutId, row->link->installationId, row->receivedMs,
                                      row->link->putBack);
            }
            if (row->command) webhooks.Wake();  // an operator's halt or advance is told at once
        }
    };
    // A halt decided by the writer is told to the receivers at once.
    settings.store.onRolloutStopped = [&cache, &webhooks](long long id) {
        if (RolloutCache* rollouts = cache.load()) rollouts->Forget(id);
        webhooks.Wake();
    };
}

}  // namespace

int Serve(const CommandLine& line) {
    ServeSettings settings;
    if (!ReadSettings(line, settings)) return 2;
    if (!StoreLayoutUsable(settings.store.target)) return 2;
    std::string secret, secretError;
    if (!ServiceSecret(settings, secret, secretError)) {
        std::cerr << secretError << "\n";
        return 1;
    }
    const sigset_t signals = TerminationSignals();
    const int logFd = OpenLogFile(settings.logFile);
    if (logFd < 0) return 1;
    AccessLog log(logFd, LogBufferBytes);
    HttpServer server;  // destroyed last: the writer and the hasher may still hand it answers
    HttpServer panel;
    std::atomic<RolloutCache*> rolloutCache{nullptr};  // set once the cache exists; the writer starts before it
    WebhookSettings webhookSettings;
    webhookSettings.target = settings.store.target;
    webhookSettings.log = [&log](const std::string& fields) {
        log.Write(EventLogLine(UtcNowMillisText(), "webhook", fields));
    };
    WebhookSender webhooks(webhookSettings);
    HookWriter(settings, log, rolloutCache, webhooks);
    StoreWriter writer(MakeStoreBackend(settings.store), settings.writer);
    std::string error;
    if (!writer.Start(error)) {
        log.Write(EventLogLine(UtcNowMillisText(), "store-unavailable", "error=" + EscapeLogValue(error)));
    }
    Checkpointer checkpointer(settings.store.target);
    checkpointer.Start();
    webhooks.Start();
    ReadPool reads(settings.store.target, ReadThreads, ReadQueue);
    RolloutCache rollouts(
        [path = settings.store.target](OfferingState& state, std::string& loadError) {
            Database db;
            return OpenDatabase(path, false, 1000, db, loadError) && LoadOfferingState(db, state, loadError);
        },
        RolloutRefreshMs);
    rolloutCache = &rollouts;
    FileHashes hashes(DataFolder{settings.data}, settings.hashSettleMs);
    settings.rates.shared = IsPostgresTarget(settings.store.target);
    RateLimiter rates(settings.rates);
    // Instances on one PostgreSQL store hold the limits together.
    RateShare rateShare(settings.store.target, rates, NewSecret().substr(0, 16));
    if (settings.rates.shared && settings.rates.perSecond > 0) rateShare.Start();
    ServiceContext context;
    context.data.root = settings.data;
    context.writer = &writer;
    context.hashes = &hashes;
    context.rates = &rates;
    context.reads = &reads;
    context.rollouts = &rollouts;
    context.secret = secret;
    context.apiKey = Option(line, "api-key", contract::DefaultApiKey);
    context.checkInPath = Option(line, "checkin-path", service_settings::CheckInPath);
    context.checkInNeedsStore = IsPostgresTarget(settings.store.target);
    if (!Options(line, "host").empty()) context.hosts = Options(line, "host");
    context.webhookWake = [&webhooks] { webhooks.Wake(); };
    context.uploadMaxBytes = settings.uploadMaxBytes;

    // The console on an address of its own when a port is given, beside the
    // agents' API only when asked for; else nowhere.
    ServiceContext consoleContext = context;
    const bool ownPanel = settings.panelPort != 0;
    context.servesConsole = settings.panelWithAgents;
    consoleContext.servesAgents = false;
    const auto callbacksFor = [&log](ServiceContext& served) {
        ServerCallbacks callbacks;
        callbacks.admit = [&served](const Request& head) { return AdmitRequest(served, head); };
        callbacks.handle = [&served](const Request& request, Respond respond) {
            HandleRequest(served, request, std::move(respond));
        };
        callbacks.log = [&log](const AccessRecord& record) { log.Write(AccessLogLine(UtcNowMillisText(), record)); };
        return callbacks;
    };
    if (!server.Start(settings.listen, settings.limits, callbacksFor(context), error)) {
        std::cerr << error << "\n";
        return 1;
    }
    ListenSettings panelListen = settings.listen;
    panelListen.address = settings.panelAddress;
    panelListen.port = settings.panelPort;
    panelListen.threads = 1;
    if (ownPanel && !panel.Start(panelListen, settings.limits, callbacksFor(consoleContext), error)) {
        std::cerr << error << "\n";
        return 1;
    }
    log.Write(EventLogLine(
        UtcNowMillisText(), "listening",
        "address=" + settings.listen.address + " port=" + std::to_string(server.Port()) +
            " tls=" + (settings.listen.tls ? "yes" : "no") +
            (ownPanel ? " panel-address=" + settings.panelAddress + " panel-port=" + std::to_string(panel.Port())
                      : std::string(settings.panelWithAgents ? " panel=with-agents" : " panel=off"))));

    int received = 0;
    sigwait(&signals, &received);
    log.Write(EventLogLine(UtcNowMillisText(), "stopping", "signal=" + std::to_string(received)));
    server.Stop();
    panel.Stop();
    reads.Stop();
    rollouts.Stop();
    rateShare.Stop();
    webhooks.Stop();
    writer.Stop(WriterStopMs);
    hashes.Stop();
    checkpointer.Stop();
    log.Write(EventLogLine(UtcNowMillisText(), "stopped", CountersText(writer.Counters())));
    log.Stop(LogStopMs);
    return 0;
}
