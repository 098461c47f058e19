#include "routes.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "contract.h"

namespace {

constexpr char JsonType[] = "application/json";

void SendJson(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, JsonType);
}

bool HasApiKey(const httplib::Request& req, const ServiceContext& context) {
    return req.get_header_value(contract::ApiKeyHeader) == context.apiKey;
}

// Checks the key, parses and stores a posted body. False when an error
// answer has been set (401, 400 or 500).
bool StorePosted(const httplib::Request& req, httplib::Response& res, ServiceContext& context, ReportKind kind,
                 ParsedReport& report, long long& id) {
    if (!HasApiKey(req, context)) {
        SendJson(res, 401, contract::ErrorBody("API key no valida"));
        return false;
    }
    std::string error;
    if (!ParseReport(kind, req.body, report, error)) {
        SendJson(res, 400, contract::ErrorBody(error));
        return false;
    }
    id = context.store->Insert(kind, UtcNowText(), req.remote_addr, req.body, report, error);
    if (id < 0) {
        SendJson(res, 500, contract::ErrorBody("no se pudo guardar: " + error));
        return false;
    }
    return true;
}

std::string ProductKeyOf(const ParsedReport& report, ReportKind kind) {
    const std::vector<ColumnSpec>& columns = ColumnsOf(kind);
    for (size_t i = 0; i < columns.size(); ++i) {
        if (std::string(columns[i].member) == "Programa" && report.columns[i].present) return report.columns[i].text;
    }
    return std::string();
}

void HandleCheckIn(const httplib::Request& req, httplib::Response& res, ServiceContext& context) {
    ParsedReport report;
    long long id = 0;
    if (!StorePosted(req, res, context, ReportKind::CheckIn, report, id)) return;
    SendJson(res, 200, NotificationDocumentFor(context.data, ProductKeyOf(report, ReportKind::CheckIn)));
}

void HandleReport(const httplib::Request& req, httplib::Response& res, ServiceContext& context, ReportKind kind) {
    ParsedReport report;
    long long id = 0;
    if (!StorePosted(req, res, context, kind, report, id)) return;
    SendJson(res, 200, "{\"ok\":true,\"id\":" + std::to_string(id) + "}");
}

void HandleAgentVersion(const httplib::Request& req, httplib::Response& res, ServiceContext& context) {
    if (!HasApiKey(req, context)) return SendJson(res, 401, contract::ErrorBody("API key no valida"));
    std::string version, url;
    AgentRelease(context.data, version, url);
    SendJson(res, 200, contract::AgentVersionAnswer(req.get_param_value("version"), version, url));
}

// Streams a static file without holding it in memory.
void HandleStatic(const httplib::Request& req, httplib::Response& res, ServiceContext& context) {
    if (!contract::IsSafeStaticPath(req.path)) return SendJson(res, 404, contract::ErrorBody("no encontrado"));
    const std::string path = StaticFilePath(context.data, req.path);
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return SendJson(res, 404, contract::ErrorBody("no encontrado"));
    }
    std::shared_ptr<std::FILE> file(std::fopen(path.c_str(), "rb"), [](std::FILE* f) {
        if (f != nullptr) std::fclose(f);
    });
    if (!file) return SendJson(res, 404, contract::ErrorBody("no encontrado"));
    res.status = 200;
    res.set_content_provider(static_cast<size_t>(info.st_size), "application/octet-stream",
                             [file](size_t offset, size_t length, httplib::DataSink& sink) {
                                 char buffer[65536];
                                 if (std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) return false;
                                 const size_t wanted = length < sizeof buffer ? length : sizeof buffer;
                                 const size_t got = std::fread(buffer, 1, wanted, file.get());
                                 if (got == 0) return false;
                                 return sink.write(buffer, got);
                             });
}

std::string LogLine(const httplib::Request& req, const httplib::Response& res) {
    return UtcNowText() + " " + req.remote_addr + " " + req.method + " " + req.get_header_value("Host") + req.target +
           " " + std::to_string(res.status) + " " + std::to_string(req.body.size()) + "B";
}

}  // namespace

std::string UtcNowText() {
    const std::time_t now = std::time(nullptr);
    std::tm utc = {};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void RegisterRoutes(httplib::Server& server, ServiceContext& context) {
    server.Get(contract::AgentVersionPath, [&context](const httplib::Request& req, httplib::Response& res) {
        HandleAgentVersion(req, res, context);
    });
    server.Post(context.checkInPath,
                [&context](const httplib::Request& req, httplib::Response& res) { HandleCheckIn(req, res, context); });
    server.Post(contract::UpdateReportPath, [&context](const httplib::Request& req, httplib::Response& res) {
        HandleReport(req, res, context, ReportKind::Update);
    });
    server.Post(contract::AcceptanceReportPath, [&context](const httplib::Request& req, httplib::Response& res) {
        HandleReport(req, res, context, ReportKind::Acceptance);
    });
    server.Get(R"(/.*)",
               [&context](const httplib::Request& req, httplib::Response& res) { HandleStatic(req, res, context); });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) res.set_content(contract::ErrorBody("HTTP " + std::to_string(res.status)), JsonType);
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        SendJson(res, 500, contract::ErrorBody("error interno"));
    });
    server.set_logger([&context](const httplib::Request& req, const httplib::Response& res) {
        if (context.log) context.log(LogLine(req, res));
    });
    server.set_payload_max_length(1024 * 1024);
}
