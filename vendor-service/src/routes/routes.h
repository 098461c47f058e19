// The service's routes: what every request is asked before its body is
// read (admission), and the handler that answers it. Neither knows sockets.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agents/data_folder.h"
#include "agents/document_cache.h"
#include "console/console_routes.h"
#include "agents/file_hashes.h"
#include "http/limits.h"
#include "http/message.h"
#include "http/rate_limit.h"
#include "rollouts/rollout_cache.h"
#include "storage/read_pool.h"
#include "service_settings.h"
#include "storage/store_writer.h"

// Before the body: refuse the request (with the answer to send), or take
// it, reading its body when it has one.
struct Admission {
    bool refused = false;
    Response refusal;
    bool readBody = false;
    size_t maxBodyBytes = 0;  // the longest body this route reads; 0: the server's bound
    // Where the body goes instead of memory: a new file (created here, never
    // one that exists), up to maxBodyBytes however large the server's bound,
    // each read with the body's deadline (a large upload takes long).
    std::string bodyFile;
};

struct ServiceContext {
    DataFolder data;
    StoreWriter* writer = nullptr;
    FileHashes* hashes = nullptr;
    RateLimiter* rates = nullptr;
    RolloutCache* rollouts = nullptr;  // none: the documents alone, as written
    ReadPool* reads = nullptr;
    std::string secret;  // signs installation ids and offer tokens
    std::shared_ptr<LoginLimiter> logins = std::make_shared<LoginLimiter>();  // shared with the console's own listener
    // Which routes this listener serves: the console may have an address of its own.
    bool servesAgents = true;
    bool servesConsole = true;
    std::shared_ptr<DocumentCache> documents = std::make_shared<DocumentCache>();
    std::string apiKey;
    std::string checkInPath;
    // The vendor's host names: update offers linking to a file served here
    // under one of them get its SHA-256.
    std::vector<std::string> hosts = {service_settings::ApiHost, service_settings::DownloadHost,
                                      service_settings::ImageHost};
    // How long a request waits for its row's commit: a check-in is then
    // answered anyway (its document matters more), a report gets 503.
    int checkInStoreWaitMs = 500;
    // With a database server several instances share, a check-in whose row
    // is not stored in that time gets 503 instead: the server gone is the
    // whole fleet's store gone, and an answer would promise offers and
    // counts no instance can keep (the agent takes 503 as no check-in).
    bool checkInNeedsStore = false;
    int reportStoreWaitMs = 5000;
    // Wakes the webhook sender (a test event, a receiver switched on); none: it finds them within a second.
    std::function<void()> webhookWake;
    // The largest package uploaded through the console (--upload-max-mb).
    uint64_t uploadMaxBytes = uint64_t{2048} << 20;
};

Admission AdmitRequest(ServiceContext& context, const Request& head);
void HandleRequest(ServiceContext& context, const Request& request, Respond respond);

// True when `sent` is the API key, in time that does not depend on where
// the two differ.
bool IsApiKey(const std::string& sent, const std::string& key);
