// A data folder in /tmp and the service running in this process on a free
// loopback port (plain HTTP: the routes and the server core do not depend
// on TLS, which the system tests cover).
#pragma once
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/http_server.h"
#include "routes/routes.h"
#include "storage/fleet_store.h"
#include "storage/read_pool.h"
#include "storage/store.h"
#include "storage/store_writer.h"

class TempDataFolder {
public:
    TempDataFolder() {
        char pattern[] = "/tmp/trevanto_servicio_XXXXXX";
        root_ = mkdtemp(pattern);
    }
    ~TempDataFolder() { std::filesystem::remove_all(root_); }
    const std::string& Root() const { return root_; }

    void Write(const std::string& relative, const std::string& content) const {
        const std::filesystem::path path = std::filesystem::path(root_) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

private:
    std::string root_;
};

struct ServiceOptions {
    Limits limits;
    LoginRules logins;
    RateSettings rates{0, 1, 16};  // off unless a test sets it
    int checkInStoreWaitMs = 500;
    std::vector<std::string> trustedProxies;  // balancers whose X-Forwarded-For is believed
    FleetLimits fleet;
};

// The store a test works on: a SQLite file in the test's folder, or, when
// TREVANTO_TEST_POSTGRES names a server ("host=... user=..."), a database
// of its own made there for the test and dropped after it (the same suite
// then runs against PostgreSQL).
class TestStore {
public:
    explicit TestStore(const std::string& folder) {
        const char* server = std::getenv("TREVANTO_TEST_POSTGRES");
        if (server == nullptr || *server == '\0') {
            target_ = folder + "/servicio.db";
            return;
        }
        server_ = server;
        static int made = 0;
        name_ = "prueba_" + std::to_string(getpid()) + "_" + std::to_string(++made);
        Database admin;
        std::string error;
        if (!OpenDatabase(server_ + " dbname=postgres", false, 0, admin, error)) ADD_FAILURE() << error;
        if (admin.IsOpen()) admin.RunText("CREATE DATABASE " + name_);
        target_ = server_ + " dbname=" + name_;
    }
    ~TestStore() {
        if (name_.empty()) return;
        Database admin;
        std::string error;
        if (OpenDatabase(server_ + " dbname=postgres", false, 0, admin, error)) {
            admin.RunText("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        }
    }
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;
    const std::string& Target() const { return target_; }
    bool IsPostgres() const { return !name_.empty(); }

private:
    std::string server_;
    std::string name_;
    std::string target_;
};

// One query's first number, on a store.
inline long long StoreNumber(const std::string& target, const std::string& sql) {
    Database db;
    std::string error;
    if (!OpenDatabase(target, false, 5000, db, error)) return -1;
    const SqlResult result = db.RunText(sql);
    return result.Ok() ? result.Number(-1) : -1;
}

class RunningService {
public:
    explicit RunningService(const std::string& dataRoot, ServiceOptions options = ServiceOptions())
        : store_(dataRoot), dbPath_(store_.Target()), hashes_(DataFolder{dataRoot}, 0), rates_(options.rates) {
        std::string error;
        int exitCode = 0;
        Database db;
        OpenStore(dbPath_, db, error, exitCode);
        StoreSettings store;
        store.target = dbPath_;
        store.fleet = options.fleet;
        store.onRolloutStopped = [this](long long id) {
            if (rollouts_) rollouts_->Forget(id);
        };
        WriterSettings writing;
        writing.onCommitted = [this](const std::vector<const PendingRow*>& rows) {
            for (const PendingRow* row : rows) {
                if (row->link && rollouts_) rollouts_->NoteOutcome(row->link->rolloutId, row->link->installationId, row->receivedMs);
            }
        };
        writer_ = std::make_unique<StoreWriter>(MakeStoreBackend(store), writing);
        writer_->Start(error);
        context_.data.root = dataRoot;
        context_.writer = writer_.get();
        context_.hashes = &hashes_;
        context_.rates = &rates_;
        context_.apiKey = "clave-de-prueba";
        context_.checkInPath = "/apis/trevanto/v1/checkin";
        context_.checkInStoreWaitMs = options.checkInStoreWaitMs;
        context_.secret = Secret;
        context_.logins = std::make_shared<LoginLimiter>(options.logins);
        reads_ = std::make_unique<ReadPool>(dbPath_, 2, 1000);
        rollouts_ = std::make_unique<RolloutCache>(
            [path = dbPath_](OfferingState& state, std::string& loadError) {
                Database db;
                return OpenDatabase(path, false, 1000, db, loadError) && LoadOfferingState(db, state, loadError);
            },
            100);
        context_.reads = reads_.get();
        context_.rollouts = rollouts_.get();
        ServerCallbacks callbacks;
        callbacks.admit = [this](const Request& head) { return AdmitRequest(context_, head); };
        callbacks.handle = [this](const Request& request, Respond respond) {
            HandleRequest(context_, request, std::move(respond));
        };
        callbacks.log = [this](const AccessRecord& record) {
            std::lock_guard<std::mutex> lock(logMutex_);
            logLines_ += AccessLogLine("T", record) + "\n";
        };
        ListenSettings listen;
        listen.port = 0;
        listen.tls = false;
        listen.trustedProxies = options.trustedProxies;
        server_.Start(listen, options.limits, callbacks, error);
    }
    ~RunningService() {
        server_.Stop();
        reads_->Stop();
        rollouts_->Stop();
        writer_->Stop(1000);
        hashes_.Stop();
    }

    static constexpr char Secret[] = "secreto-de-las-pruebas-0123456789abcdef";

    httplib::Client Client() const { return httplib::Client("127.0.0.1", server_.Port()); }
    int Port() const { return server_.Port(); }
    StoreWriter& Writer() { return *writer_; }
    const std::string& DatabasePath() const { return dbPath_; }
    HttpServer& Server() { return server_; }
    RolloutCache& Rollouts() { return *rollouts_; }

    // The last rows of a kind as stored, newest first.
    std::vector<StoredRow> Rows(ReportKind kind, int count = 10) {
        Database db;
        std::string error;
        OpenDatabase(dbPath_, false, 1000, db, error);
        return LastRows(db, kind, count, error);
    }
    std::string LogLines() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return logLines_;
    }

private:
    TestStore store_;
    std::string dbPath_;
    HttpServer server_;  // destroyed after the writer and the hasher that answer through it
    FileHashes hashes_;
    RateLimiter rates_;
    std::unique_ptr<StoreWriter> writer_;
    std::unique_ptr<ReadPool> reads_;
    std::unique_ptr<RolloutCache> rollouts_;
    ServiceContext context_;
    std::mutex logMutex_;
    std::string logLines_;
};

// Parses a body into a row of a kind (the test fails on a body that does not parse).
inline PendingRow RowFromBody(ReportKind kind, const std::string& body, const std::string& receivedAt,
                              const std::string& client = "10.0.0.7") {
    PendingRow row;
    row.kind = kind;
    row.receivedAt = receivedAt;
    row.clientAddress = client;
    row.rawBody = body;
    std::string error;
    if (!ParseReport(kind, body, row.report, error)) ADD_FAILURE() << error << ": " << body;
    return row;
}

// Creates (or upgrades) the database and commits the rows in one batch,
// as the service's writer does; their ids in order.
inline std::vector<long long> CommitRowsNow(const std::string& path, const std::vector<PendingRow>& rows) {
    Database db;
    std::string error;
    int exitCode = 0;
    if (!OpenStore(path, db, error, exitCode)) ADD_FAILURE() << error;
    StoreSettings settings;
    settings.target = path;
    StoreBackend backend = MakeStoreBackend(settings);
    std::vector<long long> ids;
    if (!backend.connect(error)) ADD_FAILURE() << error;
    std::vector<const PendingRow*> pointers;
    for (const PendingRow& row : rows) pointers.push_back(&row);
    if (backend.commit(pointers, ids, error) != CommitResult::Committed) ADD_FAILURE() << error;
    backend.disconnect();
    return ids;
}
