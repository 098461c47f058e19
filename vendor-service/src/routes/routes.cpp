#include "routes/routes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <chrono>
#include <ctime>

#include "agents/contract.h"
#include "agents/report_parsing.h"
#include "rollouts/offer_token.h"
#include "routes/agent_api.h"
#include "routes/static_files.h"
#include "storage/stored_time.h"

namespace {

bool IsAgentPost(const ServiceContext& context, const std::string& path) {
    return path == context.checkInPath || path == contract::UpdateReportPath || path == contract::AcceptanceReportPath;
}

ReportKind KindOfPath(const std::string& path) {
    if (path == contract::UpdateReportPath) return ReportKind::Update;
    if (path == contract::AcceptanceReportPath) return ReportKind::Acceptance;
    return ReportKind::CheckIn;
}

Admission Refuse(Response response, const Request& head) {
    Admission admission;
    admission.refused = true;
    // A body left unread cannot be told from the next request.
    response.closeConnection = response.closeConnection || head.hasBody;
    admission.refusal = std::move(response);
    return admission;
}

void QueueDownload(ServiceContext& context, const Request& request, const DownloadEvent& event) {
    PendingRow row;
    row.isReport = false;
    row.receivedAt = UtcNowText();
    row.receivedMs = UnixMilliseconds();
    row.receivedUnix = row.receivedMs / 1000;
    row.clientAddress = request.clientAddress;
    row.download = event;
    // Nobody waits for it: no deadline to tell.
    context.writer->Enqueue(std::move(row), std::chrono::steady_clock::time_point::max(), [](StoreOutcome) {});
}

// The rollout's own package fetched with an offer's token: its download
// begins now, and is whole once the file's last byte has gone out (in this
// answer, or in the last part of a resumed transfer).
void TrackDownload(ServiceContext& context, const Request& request, Response& response) {
    DownloadEvent event;
    RolloutFile file;
    if (context.writer == nullptr || context.rollouts == nullptr ||
        !ReadOfferToken(context.secret, QueryValue(request.query, "o"), event.installationId, event.rolloutId) ||
        !context.rollouts->FileOf(event.rolloutId, file) || file.servedPath != request.path) {
        return;  // a token counts for its own rollout's package only
    }
    QueueDownload(context, request, event);
    if (response.fileOffset + response.fileLength != response.fileSize) return;
    event.completed = true;
    ServiceContext* shared = &context;
    Request copy;
    copy.clientAddress = request.clientAddress;
    response.onFinished = [shared, copy, event](bool complete) {
        if (complete) QueueDownload(*shared, copy, event);
    };
}

}  // namespace

bool IsApiKey(const std::string& sent, const std::string& key) {
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned int sizeA = 0, sizeB = 0;
    EVP_Digest(sent.data(), sent.size(), a, &sizeA, EVP_sha256(), nullptr);
    EVP_Digest(key.data(), key.size(), b, &sizeB, EVP_sha256(), nullptr);
    return sizeA == sizeB && CRYPTO_memcmp(a, b, sizeA) == 0;
}

Admission AdmitRequest(ServiceContext& context, const Request& head) {
    if (IsConsolePath(head.path)) {
        if (context.servesConsole) return AdmitConsole(context, head);
        return Refuse(ErrorResponse(404, "no encontrado"), head);
    }
    if (!context.servesAgents) return Refuse(ErrorResponse(404, "no encontrado"), head);
    if (head.method != "GET" && head.method != "HEAD" && head.method != "POST") {
        Response response = ErrorResponse(405, "metodo no permitido");
        response.headers.push_back({"Allow", "GET, HEAD, POST"});
        return Refuse(std::move(response), head);
    }
    Admission admission;
    if (head.method != "POST") {
        // GET and HEAD take no body: one sent is not read, so the
        // connection ends with the answer.
        if (head.hasBody) return Refuse(ErrorResponse(400, "una peticion GET no lleva cuerpo"), head);
        return admission;
    }
    if (!IsAgentPost(context, head.path)) return Refuse(ErrorResponse(404, "no encontrado"), head);
    if (context.rates != nullptr && !context.rates->Take(head.clientAddress)) {
        Response response = ErrorResponse(429, "demasiadas peticiones");
        response.headers.push_back({"Retry-After", std::to_string(context.rates->RetryAfterSeconds(head.clientAddress))});
        return Refuse(std::move(response), head);
    }
    if (!IsApiKey(HeaderValue(head.headers, contract::ApiKeyHeader), context.apiKey)) {
        return Refuse(ErrorResponse(401, "API key no valida"), head);
    }
    admission.readBody = true;
    admission.maxBodyBytes = MaxBodyBytes(KindOfPath(head.path));
    return admission;
}

void HandleRequest(ServiceContext& context, const Request& request, Respond respond) {
    if (IsConsolePath(request.path)) return HandleConsole(context, request, std::move(respond));
    if (request.method == "POST") return HandleAgentPost(context, request, std::move(respond));
    if (request.path == contract::AgentVersionPath) {
        return respond(AnswerAgentVersion(context, request));
    }
    Response response = ServeStaticFile(context.data, request);
    if (request.method == "GET" && response.file) TrackDownload(context, request, response);
    respond(std::move(response));
}
