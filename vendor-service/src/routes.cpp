#include "routes.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "byte_range.h"
#include "contract.h"

namespace {

constexpr char JsonType[] = "application/json";
constexpr size_t MaxBodySize = size_t{1024} * 1024;

void SendJson(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, JsonType);
}

bool HasApiKey(const httplib::Request& req, const ServiceContext& context) {
    return req.get_header_value(contract::ApiKeyHeader) == context.apiKey;
}

// Reads a posted body of at most MaxBodySize bytes, however it is sent.
// False with the status to answer: 413 when it is longer (httplib refuses a
// longer Content-Length itself), 400 when it cannot be read.
bool ReadBody(const httplib::ContentReader& reader, const httplib::Response& res, std::string& body, int& status) {
    bool tooLong = false;
    const bool read = reader([&body, &tooLong](const char* data, size_t size) {
        tooLong = body.size() + size > MaxBodySize;
        if (!tooLong) body.append(data, size);
        return !tooLong;
    });
    if (read) return true;
    status = tooLong || res.status == 413 ? 413 : 400;
    return false;
}

// The handler gets the request as const, but it is httplib's own object:
// keeping the body there lets the logger report its size.
void KeepBodyForLog(const httplib::Request& req, const std::string& body) {
    const_cast<httplib::Request&>(req).body = body;
}

// Checks the key from the headers alone, then reads, parses and stores the
// body. False when an error answer has been set (401, 413, 400 or 500).
bool StorePosted(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                 ServiceContext& context, ReportKind kind, ParsedReport& report, long long& id) {
    if (!HasApiKey(req, context)) {
        SendJson(res, 401, contract::ErrorBody("API key no valida"));
        return false;
    }
    std::string body;
    int status = 0;
    if (!ReadBody(reader, res, body, status)) {
        const char* text = status == 413 ? "el cuerpo supera 1 MB" : "no se pudo leer el cuerpo";
        SendJson(res, status, contract::ErrorBody(text));
        return false;
    }
    KeepBodyForLog(req, body);
    std::string error;
    if (!ParseReport(kind, body, report, error)) {
        SendJson(res, 400, contract::ErrorBody(error));
        return false;
    }
    id = context.store->Insert(kind, UtcNowText(), req.remote_addr, body, report, error);
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

void HandleCheckIn(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                   ServiceContext& context) {
    ParsedReport report;
    long long id = 0;
    if (!StorePosted(req, res, reader, context, ReportKind::CheckIn, report, id)) return;
    const std::string document = NotificationDocumentFor(context.data, ProductKeyOf(report, ReportKind::CheckIn));
    SendJson(res, 200, WithFileHashes(document, context.hosts, context.data, *context.hashes));
}

void HandleReport(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                  ServiceContext& context, ReportKind kind) {
    ParsedReport report;
    long long id = 0;
    if (!StorePosted(req, res, reader, context, kind, report, id)) return;
    SendJson(res, 200, "{\"ok\":true,\"id\":" + std::to_string(id) + "}");
}

void HandleAgentVersion(const httplib::Request& req, httplib::Response& res, const ServiceContext& context) {
    if (!HasApiKey(req, context)) return SendJson(res, 401, contract::ErrorBody("API key no valida"));
    std::string version, url;
    AgentRelease(context.data, version, url);
    SendJson(res, 200, contract::AgentVersionAnswer(req.get_param_value("version"), version, url));
}

// Streams `length` bytes of a file from `start`, never holding it in memory.
void StreamFilePart(httplib::Response& res, const std::shared_ptr<std::FILE>& file, uint64_t start, uint64_t length) {
    res.set_content_provider(static_cast<size_t>(length), "application/octet-stream",
                             [file, start](size_t offset, size_t wanted, httplib::DataSink& sink) {
                                 char buffer[65536];
                                 const off_t at = static_cast<off_t>(start + offset);
                                 if (fseeko(file.get(), at, SEEK_SET) != 0) return false;
                                 const size_t chunk = wanted < sizeof buffer ? wanted : sizeof buffer;
                                 const size_t got = std::fread(buffer, 1, chunk, file.get());
                                 if (got == 0) return false;
                                 return sink.write(buffer, got);
                             });
}

// Serves a static file, whole or the one byte range asked for. httplib's own
// range handling is switched off for this answer (it would split the
// provider's output again and has no 416 for a start past the end).
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
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const RangeDecision range = DecideRange(req.get_header_value("Range"), size);
    const_cast<httplib::Request&>(req).ranges.clear();  // httplib would cut the part again
    if (range.status == 416) {
        SendJson(res, 416, contract::ErrorBody("rango no disponible"));
        res.set_header("Content-Range", range.contentRange);
        return;
    }
    res.status = range.status;
    res.set_header("Accept-Ranges", "bytes");
    if (range.status == 206) res.set_header("Content-Range", range.contentRange);
    const uint64_t length = range.status == 206 ? range.last - range.first + 1 : size;
    StreamFilePart(res, file, range.first, length);
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
    // The POST handlers read the body themselves, after checking the key.
    server.Post(context.checkInPath,
                [&context](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    HandleCheckIn(req, res, reader, context);
                });
    server.Post(contract::UpdateReportPath,
                [&context](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    HandleReport(req, res, reader, context, ReportKind::Update);
                });
    server.Post(contract::AcceptanceReportPath,
                [&context](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    HandleReport(req, res, reader, context, ReportKind::Acceptance);
                });
    server.Get(R"(/.*)",
               [&context](const httplib::Request& req, httplib::Response& res) { HandleStatic(req, res, context); });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) res.set_content(contract::ErrorBody("HTTP " + std::to_string(res.status)), JsonType);
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, const std::exception_ptr&) {
        SendJson(res, 500, contract::ErrorBody("error interno"));
    });
    server.set_logger([&context](const httplib::Request& req, const httplib::Response& res) {
        if (context.log) context.log(LogLine(req, res));
    });
    server.set_payload_max_length(MaxBodySize);
    // A refused body is left unread on the connection; closing after every
    // answer keeps the rest from being read as a next request.
    server.set_keep_alive_max_count(1);
}
