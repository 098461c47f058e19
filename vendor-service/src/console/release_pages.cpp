#include "console/release_pages.h"

#include <algorithm>
#include <ctime>

#include "console/console_json.h"
#include "console/forms.h"
#include "console/health_view.h"
#include "console/rollout_pages.h"
#include "console/spanish_format.h"
#include "routes/routes.h"
#include "storage/console_store.h"
#include "storage/fleet_store.h"

namespace {

ListPlan ReleaseListPlan(const std::vector<std::string>& products) {
    ListPlan plan;
    plan.source = "FROM releases";
    plan.columns = {{"id", "Versión", "id", CellKind::Number},
                    {"producto", "Producto", "product"},
                    {"version", "Número", "version"},
                    {"paquete", "Paquete", "url"},
                    {"bytes", "Bytes", "size", CellKind::Number},
                    {"sha256", "SHA-256", "sha256", CellKind::Text, false},
                    {"declaracion", "Declaración", "CASE WHEN statement = '' THEN 'no' ELSE 'sí' END"},
                    {"firma", "Firma", "CASE WHEN signature = '' THEN 'no' ELSE 'sí' END"},
                    {"alta", "Alta", "created_at", CellKind::Time}};
    std::vector<std::pair<std::string, std::string>> choices;
    choices.reserve(products.size());
    for (const std::string& product : products) choices.emplace_back(product, product);
    plan.filters = {{"producto", "Producto", "product = ??", false, choices}};
    plan.sort = "id";
    plan.tieBreak = "id";
    plan.noun = "versiones";
    plan.oneNoun = "versión";
    plan.empty = "Aún no hay versiones.";
    return plan;
}

std::string ReleaseCell(size_t column, const SqlRow& row) {
    if (column == 0) return Link("/panel/versiones/" + std::to_string(row.Int(0)), "Versión " + std::to_string(row.Int(0)));
    if (column == 5) {
        const std::string hex = row.Text(5);
        return "<span title=\"" + Html(hex) + "\">" + Html(hex.substr(0, 12)) + "…</span>";
    }
    return "";
}

std::vector<FormInput> ReleaseForm(const std::vector<std::string>& products) {
    std::vector<FormInput> inputs = {
        {"product", "Producto", "", "los del catálogo y los que ya tienen versiones o flota", "select", {}, true},
        {"version", "Número de versión", "", "de uno a cuatro números separados por puntos", "text", {}, true},
        {"file", "Archivo servido aquí (bajo archivos/)", "", "como paquetes/mesalto_6.0.3.17.zip"},
        {"url", "o una dirección https externa", "", ""},
        {"size", "con sus bytes", "", ""},
        {"sha256", "y su SHA-256", "", "64 cifras hexadecimales en minúsculas"},
        {"statement", "Declaración del fabricante", "", "la línea que imprime signing statement"},
        {"signature", "Firma del paquete (opcional)", "", "la que imprime signing sign"},
    };
    for (const std::string& product : products) inputs[0].choices.emplace_back(product, product);
    return inputs;
}

void ListPage(const CallPtr& call, const Database& db, const std::vector<FormInput>* sent, const RequestError& error,
              const std::string& notice, int status) {
    const std::vector<std::string> products = ReleaseProducts(db);
    const ListPlan plan = ReleaseListPlan(products);
    ListRequest request;
    ListRows rows;
    if (sent == nullptr && AnswerList(*call, db, plan, "versiones", request, rows)) return;
    if (sent != nullptr) {
        std::string ignored;
        request = ReadListRequest(plan, "");
        ReadList(db, plan, request, false, rows, ignored);
    }
    std::string body = NoticeHtml(notice) + ListOnPage(*call, plan, request, rows, ReleaseCell);
    if (RoleAllows(call->viewer.role, Permission::Publish) && !call->viewer.token) {
        // The file goes as the body of one request (panel.js), streamed to disk by the service.
        body += "<h2>Subir un paquete</h2><form class=\"alta subida\" data-destino=\"/panel/api/paquetes\" "
                "data-csrf=\"" + Html(call->viewer.csrf) + "\"><label>Paquete <input type=\"file\" name=\"paquete\" "
                "required></label><button type=\"submit\">Subir</button><p class=\"resultado-subida\" "
                "role=\"status\"></p></form>";
        body += "<h2>Añadir una versión</h2>" +
                FormHtml("/panel/versiones", call->viewer.csrf, sent != nullptr ? *sent : ReleaseForm(products),
                         "Añadir", error);
    }
    call->respond(HtmlAnswer(status, Page(FrameOf(*call, db, "Versiones"), body)));
}

void AddRelease(const CallPtr& call, const Database& db) {
    Release release;
    RequestError refusal;
    std::string error, nearest;
    const ServiceContext& context = *call->context;
    const std::string host = context.hosts.size() > 1 ? context.hosts[1] : context.hosts.front();
    const FieldOf sent = FormOf(call->request);
    std::vector<std::string> known;
    KnownProducts(db, known, error);
    bool ok = ReadReleaseRequest(sent, context.data.root, host, release, refusal);
    if (ok && !IsKnownProduct(release.product, known, nearest)) {
        refusal = {"product", "«" + release.product + "» no es un producto del catálogo ni de la flota" +
                                  (nearest.empty() ? "" : " (¿quería decir " + nearest + "?)"), false};
        ok = false;
    }
    if (ok && !InsertRelease(db, release, error, call->viewer.name)) {
        refusal = {"version", error, false};
        ok = false;
    }
    if (!ok) {
        if (call->api) return Trouble(*call, 400, refusal.Named(refusal.field));
        std::vector<FormInput> inputs = ReleaseForm(ReleaseProducts(db));
        KeepValues(inputs, sent);
        return ListPage(call, db, &inputs, refusal, "", 400);
    }
    if (call->api) return call->respond(JsonAnswer(200, "{\"ok\":true,\"id\":" + std::to_string(release.id) + "}"));
    call->respond(Redirect("/panel/versiones/" + std::to_string(release.id) + "?aviso=anadida"));
}

void HealthPage(const CallPtr& call, const Database& db, long long id) {
    Release release;
    std::string error;
    if (!LoadRelease(db, id, release, error)) return Trouble(*call, 404, "no existe esa versión");
    const ChartWindow window = WindowOf(QueryValue(call->request.query, "ventana"));
    ReleaseHealth health;
    if (!ReadReleaseHealth(db, release, 0, window, std::time(nullptr), health, error)) {
        return Trouble(*call, 500, "no se pudo leer el almacén");
    }
    if (call->api) return call->respond(JsonAnswer(200, ReleaseJson(release, HealthJson(health, window))));
    ListPlan rollouts = RolloutListPlan("despliegues", {});
    rollouts.where = "r.release_id = ?1";
    rollouts.parameters = {Int(id)};
    rollouts.filters.erase(rollouts.filters.begin());
    ListRequest request;
    ListRows rows;
    if (AnswerList(*call, db, rollouts, "version-" + std::to_string(id) + "-despliegues", request, rows)) return;
    std::string body = NoticeHtml(QueryValue(call->request.query, "aviso") == "anadida" ? "Versión añadida." : "");
    body += "<p>" + Html(release.product) + " <strong>" + Html(release.version) + "</strong>: " + Html(release.url) +
            " (" + Html(Counted(static_cast<long long>(release.size), "byte", "bytes")) + ", SHA-256 " +
            Html(release.sha256) + ", " + (release.statement.empty() ? "sin declaración" : "declarada") +
            "), añadida el " + TimeHtml(release.createdAt, *call->zone) + ".</p>";
    if (RoleAllows(call->viewer.role, Permission::Operate) && !call->viewer.token) {
        body += "<p>" + Link("/panel/despliegues/nuevo", "Iniciar un despliegue de esta u otra versión") + "</p>";
    }
    body += HealthHtml(health, window, "/panel" + call->path, call->request.query, *call->zone,
                       "version=" + std::to_string(id));
    body += "<h2>Sus despliegues</h2>" + ListOnPage(*call, rollouts, request, rows, RolloutCell);
    call->respond(HtmlAnswer(200, Page(FrameOf(*call, db, "Salud de " + release.product + " " + release.version), body)));
}

}  // namespace

std::vector<std::string> ReleaseProducts(const Database& db) {
    std::vector<std::string> products = CatalogueProducts();
    std::string error;
    KnownProducts(db, products, error);
    std::sort(products.begin(), products.end());
    products.erase(std::unique(products.begin(), products.end()), products.end());
    return products;
}

bool RouteReleases(const CallPtr& call, const Database& db) {
    Call& c = *call;
    const bool post = c.request.method == "POST";
    if (c.path == "/versiones") {
        if (!post) {
            ListPage(call, db, nullptr, {}, "", 200);
        } else if (Allowed(c, Permission::Publish)) {
            AddRelease(call, db);
        }
        return true;
    }
    std::string rest;
    const long long id = IdAfter(c.path, "/versiones/", rest);
    if (id != 0 && rest.empty() && !post) {
        HealthPage(call, db, id);
        return true;
    }
    return false;
}
