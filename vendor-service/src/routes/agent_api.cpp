#include "routes/agent_api.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>

#include "agents/checkin_document.h"
#include "agents/document_cache.h"
#include "agents/contract.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ProductKeyOf(const ParsedReport& report, ReportKind kind) {
    const std::vector<ColumnSpec>& columns = ColumnsOf(kind);
    for (size_t i = 0; i < columns.size(); ++i) {
        if (std::string(columns[i].member) == "Programa" && report.columns[i].present) return report.columns[i].text;
    }
    return std::string();
}

PendingRow RowOf(ReportKind kind, const Request& request, ParsedReport report) {
    PendingRow row;
    row.kind = kind;
    row.receivedAt = UtcNowText();
    row.clientAddress = request.clientAddress;
    row.rawBody = request.body;
    row.report = std::move(report);
    return row;
}

// A check-in is answered once both its row's fate and its document are known.
struct CheckInAnswer {
    std::mutex mutex;
    Respond respond;
    bool storeKnown = false;
    bool stored = false;
    bool documentKnown = false;
    std::string document;

    void StoreDone(bool wasStored) {
        std::unique_lock<std::mutex> lock(mutex);
        storeKnown = true;
        stored = wasStored;
        AnswerWhenReady(lock);
    }
    void DocumentDone(std::string text) {
        std::unique_lock<std::mutex> lock(mutex);
        documentKnown = true;
        document = std::move(text);
        AnswerWhenReady(lock);
    }
    void AnswerWhenReady(std::unique_lock<std::mutex>& lock) {
        if (!storeKnown || !documentKnown) return;
        Response response = JsonResponse(200, std::move(document));
        response.logNote = stored ? "stored" : "not-stored";
        const Respond call = std::move(respond);
        lock.unlock();
        call(std::move(response));
    }
};

void HandleCheckIn(ServiceContext& context, const Request& request, Respond respond, ParsedReport report) {
    auto answer = std::make_shared<CheckInAnswer>();
    answer->respond = std::move(respond);
    const std::string product = ProductKeyOf(report, ReportKind::CheckIn);
    // The agent needs its document whatever becomes of the row: a store that
    // is down or slow costs the row (counted, and noted in the log line),
    // never the answer.
    const auto deadline = Clock::now() + std::chrono::milliseconds(context.checkInStoreWaitMs);
    const bool queued = context.writer->Enqueue(RowOf(ReportKind::CheckIn, request, std::move(report)), deadline,
                                                [answer](StoreOutcome outcome) { answer->StoreDone(outcome.stored); });
    if (!queued) answer->StoreDone(false);
    const std::shared_ptr<CachedDocument> document = context.documents->For(context.data, product, context.hosts);
    context.hashes->Lookup(HashesNeeded(*document->plan), [answer, document](const HashResults& hashes) {
        answer->DocumentDone(AnswerOf(*document, hashes));
    });
}

Response ReportNotStored() {
    Response response = ErrorResponse(503, "el informe no se pudo guardar ahora; intentelo mas tarde");
    response.headers.push_back({"Retry-After", "30"});
    response.logNote = "not-stored";
    return response;
}

void HandleReport(ServiceContext& context, ReportKind kind, const Request& request, Respond respond,
                  ParsedReport report) {
    auto shared = std::make_shared<Respond>(std::move(respond));
    const auto deadline = Clock::now() + std::chrono::milliseconds(context.reportStoreWaitMs);
    const bool queued = context.writer->Enqueue(
        RowOf(kind, request, std::move(report)), deadline, [shared](StoreOutcome outcome) {
            if (!outcome.stored) return (*shared)(ReportNotStored());
            Response response = JsonResponse(200, "{\"ok\":true,\"id\":" + std::to_string(outcome.id) + "}");
            response.logNote = "stored";
            (*shared)(std::move(response));
        });
    if (!queued) (*shared)(ReportNotStored());
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

void HandleAgentPost(ServiceContext& context, const Request& request, Respond respond) {
    ReportKind kind = ReportKind::CheckIn;
    if (request.path == contract::UpdateReportPath) kind = ReportKind::Update;
    if (request.path == contract::AcceptanceReportPath) kind = ReportKind::Acceptance;
    ParsedReport report;
    std::string error;
    if (!ParseReport(kind, request.body, report, error)) return respond(ErrorResponse(400, error));
    if (kind == ReportKind::CheckIn) {
        return HandleCheckIn(context, request, std::move(respond), std::move(report));
    }
    HandleReport(context, kind, request, std::move(respond), std::move(report));
}

Response AnswerAgentVersion(const ServiceContext& context, const Request& request) {
    if (!IsApiKey(HeaderValue(request.headers, contract::ApiKeyHeader), context.apiKey)) {
        return ErrorResponse(401, "API key no valida");
    }
    std::string version, url;
    AgentRelease(context.data, version, url);
    return JsonResponse(200, contract::AgentVersionAnswer(QueryValue(request.query, "version"), version, url));
}
