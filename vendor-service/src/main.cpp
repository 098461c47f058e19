// trevanto-servicio: the vendor's service for the Trevanto agent.
//
//   trevanto-servicio serve --data DIR --cert FILE --key FILE
//                           [--address 127.0.0.1] [--port 443] [--db FILE]
//                           [--api-key KEY] [--checkin-path PATH] [--host NAME]...
//   trevanto-servicio reports --db FILE [--kind checkin|update|acceptance] [--last N]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "contract.h"
#include "routes.h"
#include "service_settings.h"

namespace {

httplib::Server* running_server = nullptr;

void StopOnSignal(int) {
    if (running_server != nullptr) running_server->stop();
}

// --name value pairs after the command word; every --host is kept, in order.
bool ParseOptions(int argc, char** argv, std::map<std::string, std::string>& options, std::vector<std::string>& hosts) {
    for (int i = 2; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0 || i + 1 >= argc) return false;
        if (name == "--host") hosts.emplace_back(argv[i + 1]);
        options[name.substr(2)] = argv[i + 1];
    }
    return true;
}

std::string Option(const std::map<std::string, std::string>& options, const std::string& name,
                   const std::string& fallback) {
    const auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
}

// A whole number from min to max written in digits only; false otherwise.
bool WholeNumber(const std::string& text, int min, int max, int& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (number < min || number > max) return false;
    value = static_cast<int>(number);
    return true;
}

// A numeric option; false after saying why on stderr.
bool NumberOption(const std::map<std::string, std::string>& options, const std::string& name,
                  const std::string& fallback, int min, int max, int& value) {
    const std::string text = Option(options, name, fallback);
    if (WholeNumber(text, min, max, value)) return true;
    std::cerr << "--" << name << " must be a whole number from " << min << " to " << max << ", not \"" << text
              << "\"\n";
    return false;
}

// Opens the database and checks its layout; false after saying why on
// stderr, with the exit code: 1 when it cannot be opened, 2 when its tables
// come from an older layout.
bool OpenStore(ReportStore& store, const std::string& path, int& exitCode) {
    std::string error;
    if (!store.Open(path, error)) {
        std::cerr << "cannot open the database: " << error << "\n";
        exitCode = 1;
        return false;
    }
    if (!store.HasCurrentLayout(error)) {
        std::cerr << "the database " << path << " has an older layout: " << error << "\n";
        exitCode = 2;
        return false;
    }
    return true;
}

int Usage() {
    std::cerr << "usage:\n"
                 "  trevanto-servicio serve --data DIR --cert FILE --key FILE [--address A] [--port P]\n"
                 "                          [--db FILE] [--api-key KEY] [--checkin-path PATH] [--host NAME]...\n"
                 "  trevanto-servicio reports --db FILE [--kind checkin|update|acceptance] [--last N]\n";
    return 2;
}

int Serve(const std::map<std::string, std::string>& options, const std::vector<std::string>& hosts) {
    const std::string data = Option(options, "data", "");
    const std::string cert = Option(options, "cert", "");
    const std::string key = Option(options, "key", "");
    if (data.empty() || cert.empty() || key.empty()) return Usage();
    int port = 0;
    if (!NumberOption(options, "port", "443", 1, 65535, port)) return 2;

    ReportStore store;
    int exitCode = 0;
    if (!OpenStore(store, Option(options, "db", data + "/servicio.db"), exitCode)) return exitCode;
    httplib::SSLServer server(cert.c_str(), key.c_str());
    if (!server.is_valid()) {
        std::cerr << "cannot load the certificate or key\n";
        return 1;
    }
    std::mutex logMutex;
    ServiceContext context;
    context.data.root = data;
    context.store = &store;
    context.apiKey = Option(options, "api-key", contract::DefaultApiKey);
    context.checkInPath = Option(options, "checkin-path", service_settings::CheckInPath);
    if (!hosts.empty()) context.hosts = hosts;
    context.log = [&logMutex](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        std::cout << line << std::endl;
    };
    RegisterRoutes(server, context);

    const std::string address = Option(options, "address", "127.0.0.1");
    running_server = &server;
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    std::cout << "trevanto-servicio listening on " << address << ":" << port << std::endl;
    const bool listened = server.listen(address, port);
    running_server = nullptr;  // a late signal must not reach the server once it is gone
    if (!listened) {
        std::cerr << "cannot listen on " << address << ":" << port << "\n";
        return 1;
    }
    return 0;
}

int Reports(const std::map<std::string, std::string>& options) {
    const std::string db = Option(options, "db", "");
    if (db.empty()) return Usage();
    int last = 0;
    if (!NumberOption(options, "last", "10", 1, 1000000, last)) return 2;
    ReportStore store;
    int exitCode = 0;
    if (!OpenStore(store, db, exitCode)) return exitCode;
    std::string error;
    const std::string kindName = Option(options, "kind", "");
    for (ReportKind kind : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        if (!kindName.empty() && kindName != KindName(kind)) continue;
        for (const StoredRow& row : store.Last(kind, last, error)) {
            std::cout << KindName(kind) << " #" << row.values.at("id") << " " << row.values.at("received_at") << " "
                      << row.values.at("client_address");
            for (const ColumnSpec& column : ColumnsOf(kind)) {
                std::cout << " " << column.member << "=" << row.values.at(column.member);
            }
            std::cout << "\n";
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::map<std::string, std::string> options;
    std::vector<std::string> hosts;
    if (!ParseOptions(argc, argv, options, hosts)) return Usage();
    const std::string command = argv[1];
    if (command == "serve") return Serve(options, hosts);
    if (command == "reports") {
        ReportKind ignored;
        const std::string kind = Option(options, "kind", "");
        if (!kind.empty() && !KindFromName(kind, ignored)) return Usage();
        return Reports(options);
    }
    return Usage();
}
