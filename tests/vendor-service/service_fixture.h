// A data folder in /tmp and a running service on a free loopback port.
#pragma once
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "routes.h"

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

// The service's routes on a plain HTTP server (the routes do not depend on TLS).
class RunningService {
public:
    explicit RunningService(const std::string& dataRoot) {
        std::string error;
        store_.Open(":memory:", error);
        context_.data.root = dataRoot;
        context_.store = &store_;
        context_.apiKey = "clave-de-prueba";
        context_.checkInPath = "/apis/trevanto/v1/checkin";
        context_.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            logLines_ += line + "\n";
        };
        RegisterRoutes(server_, context_);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~RunningService() {
        server_.stop();
        thread_.join();
    }

    httplib::Client Client() const { return httplib::Client("127.0.0.1", port_); }
    int Port() const { return port_; }
    ReportStore& Store() { return store_; }
    std::string LogLines() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return logLines_;
    }

private:
    httplib::Server server_;
    ReportStore store_;
    ServiceContext context_;
    int port_ = 0;
    std::thread thread_;
    std::mutex logMutex_;
    std::string logLines_;
};
