// The event-driven HTTP/1.1 server (Boost.Beast on Asio): a few threads
// serve every connection, idle, slow or busy, so that no number of them
// can hold the others back. TLS with OpenSSL, or plain HTTP behind a TLS
// terminator. What a request means is left to the callbacks.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/access_log.h"
#include "http/limits.h"
#include "http/message.h"
#include "routes/routes.h"

struct ListenSettings {
    std::string address = "127.0.0.1";
    int port = 443;  // 0 picks a free port
    bool tls = true;
    std::string certificateFile;  // PEM chain
    std::string keyFile;          // PEM private key
    int threads = 2;
    // Load balancers whose X-Forwarded-For names the client (http/forwarded_for.h).
    std::vector<std::string> trustedProxies;
};

struct ServerCallbacks {
    std::function<Admission(const Request& head)> admit;
    std::function<void(const Request& request, Respond respond)> handle;
    std::function<void(const AccessRecord& record)> log;
};

struct ServerState;

class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving; false with the reason.
    bool Start(const ListenSettings& listen, const Limits& limits, ServerCallbacks callbacks, std::string& error);
    int Port() const;
    // Stops accepting, closes idle connections, lets requests in flight
    // finish for up to limits.shutdownMs, then ends the threads. Answers
    // handed over later are dropped; whatever may still hand one over (the
    // store's writer, the hasher) must be stopped before the server is
    // destroyed.
    void Stop();
    int OpenConnections() const;

private:
    std::unique_ptr<ServerState> state_;
};
