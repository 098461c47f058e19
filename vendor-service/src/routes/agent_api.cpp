#include "routes/agent_api.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>

#include "agents/checkin_document.h"
#include "agents/document_cache.h"
#include "agents/contract.h"
#include "rollouts/offer_token.h"
#include "rollouts/rollout_rules.h"
#include "storage/stored_time.h"

namespace {

using Clock = std::chrono::steady_clock;

// A text member of a parsed report; empty when absent.
std::string MemberText(const ParsedReport& report, ReportKind kind, const char* name) {
    const std::vector<ReportColumn>& columns = ColumnsOf(kind);
    for (size_t i = 0; i < columns.size() && i < report.columns.size(); ++i) {
        if (std::string(columns[i].member) == name && report.columns[i].present) return report.columns[i].text;
    }
    return std::string();
}

PendingRow RowOf(ReportKind kind, const Request& request, ParsedReport report) {
    PendingRow row;
    row.kind = kind;
    row.receivedAt = UtcNowText();
    row.receivedMs = UnixMilliseconds();
    row.receivedUnix = row.receivedMs / 1000;
    row.clientAddress = request.clientAddress;
    row.rawBody = request.body;
    row.report = std::move(report);
    return row;
}

CheckInFacts FactsOf(const ServiceContext& context, const Request& request, const ParsedReport& report) {
    CheckInFacts facts;
    facts.product = MemberText(report, ReportKind::CheckIn, "Programa");
    facts.hostname = MemberText(report, ReportKind::CheckIn, "hostname");
    facts.installedPath = MemberText(report, ReportKind::CheckIn, "installed_path");
    facts.programVersion = MemberText(report, ReportKind::CheckIn, "Version");
    facts.agentVersion = MemberText(report, ReportKind::CheckIn, "actualizador_version");
    facts.windowsVersion = MemberText(report, ReportKind::CheckIn, "windows_version");
    facts.installationId =
        InstallationId(context.secret, facts.product, facts.hostname, facts.installedPath, request.clientAddress);
    return facts;
}

// The update offer item for one installation: the release's package with
// the installation's token, its hash, the vendor's signature and statement.
std::string OfferItem(const Rollout& rollout, const std::string& token) {
    std::string item = "{\"tipo\":\"url_actualizar\",\"contenido\":[{\"enlace\":\"" +
                       contract::EscapeJson(WithOfferToken(rollout.release.url, token)) + "\",\"sha256\":\"" +
                       contract::EscapeJson(rollout.release.sha256) + "\"";
    if (!rollout.release.signature.empty()) {
        item += ",\"firma\":\"" + contract::EscapeJson(rollout.release.signature) + "\"";
    }
    if (!rollout.release.statement.empty()) {
        item += ",\"declaracion\":\"" + contract::EscapeJson(rollout.release.statement) +
                "\",\"declaracion_firma\":\"" + contract::EscapeJson(rollout.release.statementSignature) + "\"";
    }
    return item + "}]}";
}

// An address without its query and fragment.
std::string WithoutQuery(const std::string& url) {
    return url.substr(0, url.find_first_of("?#"));
}

Response StoreUnavailable() {
    Response response = ErrorResponse(503, "el informe no se pudo guardar ahora; intentelo mas tarde");
    response.headers.push_back({"Retry-After", "30"});
    response.logNote = "not-stored";
    return response;
}

// A check-in is answered once both its row's fate and its document are known.
struct CheckInAnswer {
    std::mutex mutex;
    Respond respond;
    bool needsStore = false;
    bool storeKnown = false;
    bool stored = false;
    bool documentKnown = false;
    std::string document;
    std::string note;  // "offer=<rollout>" when the answer carries one

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
        Response response = !stored && needsStore ? StoreUnavailable() : JsonResponse(200, std::move(document));
        response.logNote = std::string(stored ? "stored" : "not-stored") + (note.empty() ? "" : "," + note);
        const Respond call = std::move(respond);
        lock.unlock();
        call(std::move(response));
    }
};

// The check-in's row and answer, once it is known whether it carries an offer.
void AnswerCheckIn(ServiceContext& context, const std::shared_ptr<CheckInAnswer>& answer, PendingRow row,
                   const std::shared_ptr<const Rollout>& offered, double place) {
    std::string extraItem;
    if (offered) {
        CheckInFacts& facts = *row.checkIn;
        facts.offeredRollout = offered->id;
        facts.offeredStage = offered->currentStage;
        facts.place = place;
        extraItem = OfferItem(*offered, OfferToken(context.secret, facts.installationId, offered->id));
        answer->note = "offer=" + std::to_string(offered->id);
    }
    const std::string product = row.checkIn->product;
    const std::string installation = row.checkIn->installationId;
    // The agent needs its document whatever becomes of the row: a store that
    // is down or slow costs the row (counted, and noted in the log line),
    // never the answer.
    const auto deadline = Clock::now() + std::chrono::milliseconds(context.checkInStoreWaitMs);
    const bool queued = context.writer->Enqueue(std::move(row), deadline,
                                                [answer](StoreOutcome outcome) { answer->StoreDone(outcome.stored); });
    if (!queued) answer->StoreDone(false);
    const std::shared_ptr<CachedDocument> document = context.documents->For(context.data, product, context.hosts);
    // Documents served here are tied to the installation they are sent to.
    const std::string acceptance =
        MarksDocuments(*document->plan) ? AcceptanceToken(context.secret, installation) : std::string();
    context.hashes->Lookup(HashesNeeded(*document->plan),
                           [answer, document, extraItem, acceptance](const HashResults& hashes) {
                               answer->DocumentDone(AnswerOf(*document, hashes, extraItem, acceptance));
                           });
}

// Whether the check-in is answered with the release its product's rollout
// offers: the installation must run a version the release replaces, be
// inside the current stage (by its place, or as a pilot that counts), and
// not be held back by earlier reports (the rollout cache knows those: the
// store's as of its last load, a second ago at most, and this service's
// own since).
void HandleCheckIn(ServiceContext& context, const Request& request, Respond respond, ParsedReport report) {
    auto answer = std::make_shared<CheckInAnswer>();
    answer->respond = std::move(respond);
    answer->needsStore = context.checkInNeedsStore;
    CheckInFacts facts = FactsOf(context, request, report);
    PendingRow row = RowOf(ReportKind::CheckIn, request, std::move(report));
    row.checkIn = facts;
    const std::shared_ptr<const Rollout> rollout =
        context.rollouts != nullptr ? context.rollouts->OfferingFor(facts.product) : nullptr;
    if (rollout && facts.programVersion != rollout->release.version &&
        IsTargeted(rollout->targeting, facts.programVersion)) {
        const double place = PlaceInRollout(facts.installationId, rollout->release.id);
        if (IsInCurrentStage(*rollout, place, rollout->pilots.count(facts.installationId) != 0) &&
            MayOfferAgain(rollout->settings, context.rollouts->RecordOf(rollout->id, facts.installationId),
                          std::time(nullptr))) {
            return AnswerCheckIn(context, answer, std::move(row), rollout, place);
        }
    }
    AnswerCheckIn(context, answer, std::move(row), nullptr, 0);
}

void HandleReport(ServiceContext& context, ReportKind kind, const Request& request, Respond respond,
                  ParsedReport report) {
    auto shared = std::make_shared<Respond>(std::move(respond));
    const auto deadline = Clock::now() + std::chrono::milliseconds(context.reportStoreWaitMs);
    PendingRow row = RowOf(kind, request, std::move(report));
    // An update report whose address carries a token of ours, for the
    // rollout's own package and product, counts in its rollout; any other
    // is stored unlinked and counts nowhere.
    ReportLink link;
    const std::string url = MemberText(row.report, kind, "url_parche");
    RolloutFile file;
    if (kind == ReportKind::Update &&
        ReadOfferToken(context.secret, OfferTokenOfUrl(url), link.installationId, link.rolloutId) &&
        context.rollouts != nullptr && context.rollouts->FileOf(link.rolloutId, file) &&
        file.product == MemberText(row.report, kind, "Programa") && WithoutQuery(url) == WithoutQuery(file.url)) {
        link.putBack = MemberText(row.report, kind, "resultado") == contract::FailedStartResult;
        row.link = link;
    }
    // An acceptance of a document whose address carries an installation's token is that installation's.
    std::string accepted;
    if (kind == ReportKind::Acceptance &&
        ReadAcceptanceToken(context.secret, QueryValueOfUrl(MemberText(row.report, kind, "rtf_url"), "a"), accepted)) {
        row.acceptedBy = accepted;
    }
    const bool queued = context.writer->Enqueue(
        std::move(row), deadline, [shared](StoreOutcome outcome) {
            if (!outcome.stored) return (*shared)(StoreUnavailable());
            Response response = JsonResponse(200, "{\"ok\":true,\"id\":" + std::to_string(outcome.id) + "}");
            response.logNote = "stored";
            (*shared)(std::move(response));
        });
    if (!queued) (*shared)(StoreUnavailable());
}

}  // namespace

int64_t UnixMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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
    contract::AgentOffer offer;
    AgentRelease(context.data, offer);
    return JsonResponse(200, contract::AgentVersionAnswer(QueryValue(request.query, "version"), offer));
}
