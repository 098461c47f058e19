// The console: every page escapes what agents sent, every list pages,
// filters, sorts and exports from the store, access takes an operator's
// login (or a token) and a role that allows it, and a halted rollout can be
// resumed once its reason is acknowledged, or its failures retried.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "../service_fixture.h"
#include "console/accounts.h"
#include "console/console_routes.h"
#include "rollouts/rollout_rules.h"

namespace {

const std::string Hostile = "<img src=x onerror=alert(1)>";
const std::string HostileText = "&lt;img src=x onerror=alert(1)&gt;";

std::string SetCookieOf(const httplib::Result& res, const std::string& name) {
    for (const auto& [key, value] : res->headers) {
        if (key == "Set-Cookie" && value.rfind(name + "=", 0) == 0) return value;
    }
    return "";
}

std::string CsrfIn(const std::string& page) {
    std::smatch match;
    return std::regex_search(page, match, std::regex("name=\"csrf\" value=\"([0-9a-f]{64})\"")) ? match[1].str() : "";
}

// An operator's session through the API: its cookie and CSRF token.
struct Login {
    httplib::Headers cookie;
    std::string csrf;
};

Login LogIn(httplib::Client& client, const std::string& name, const std::string& password) {
    const auto res = client.Post("/panel/api/entrar", nlohmann::json({{"usuario", name}, {"clave", password}}).dump(),
                                 "application/json");
    EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
    if (!res || res->status != 200) return Login{};
    const std::string cookie = SetCookieOf(res, "panel_sesion");
    return Login{{{"Cookie", cookie.substr(0, cookie.find(';'))}}, nlohmann::json::parse(res->body)["csrf"]};
}

httplib::Headers With(httplib::Headers headers, const std::string& name, const std::string& value) {
    headers.emplace(name, value);
    return headers;
}

std::string CheckIn(const std::string& product, const std::string& host, const std::string& version,
                    const std::string& windows = "10.0.19045") {
    return nlohmann::json({{"Programa", product},
                           {"Version", version},
                           {"hostname", host},
                           {"windows_version", windows},
                           {"actualizador_version", "1.26.0803"},
                           {"installed_path", "C:\\Marvek\\" + host + "\\mesalto.exe"}})
        .dump();
}

std::string Report(const std::string& url, const std::string& result, const std::string& step, int code,
                   const std::string& message = "") {
    static int sent = 0;
    return nlohmann::json({{"Programa", "MarvekMesalto"},
                           {"version_anterior", "5.2.1.0"},
                           {"version_nueva", "6.0.3.17"},
                           {"url_parche", url},
                           {"resultado", result},
                           {"codigo_error", code},
                           {"mensaje_error", message},
                           {"paso_fallido", step},
                           {"duracion_segundos", 4},
                           {"report_id", "consola-" + std::to_string(++sent)}})
        .dump();
}

std::string OfferIn(const std::string& answer) {
    const nlohmann::json document = nlohmann::json::parse(answer, nullptr, false);
    if (!document.is_object() || !document.contains("alertas")) return "";
    for (const auto& item : document["alertas"]) {
        if (item.value("tipo", "") == "url_actualizar") return item["contenido"][0].value("enlace", "");
    }
    return "";
}

// A service with a package, operators of every role, and a fleet known
// for days before any rollout starts.
class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        data_.Write("archivos/paquetes/mesalto_6.0.3.17.zip", "PK-mesalto");
        ServiceOptions options;
        options.trustedProxies = {"127.0.0.1"};
        service_ = std::make_unique<RunningService>(data_.Root(), options);
        Database db;
        std::string error;
        ASSERT_TRUE(OpenDatabase(service_->DatabasePath(), false, 5000, db, error));
        ASSERT_TRUE(SaveOperator(db, "ana", "una-clave-muy-larga", error, false, "administrador")) << error;
        ASSERT_TRUE(SaveOperator(db, "luis", "otra-clave-muy-larga", error, false, "operador")) << error;
        ASSERT_TRUE(SaveOperator(db, "lola", "clave-de-lectura-larga", error, false, "lectura")) << error;
    }

    // A check-in from network 10.<n>.0.1; the offer it got, or "".
    std::string CheckInFrom(int network, const std::string& body) {
        httplib::Client client = service_->Client();
        const auto res = client.Post("/apis/trevanto/v1/checkin",
                                     {{"X-Api-Key", "clave-de-prueba"},
                                      {"X-Forwarded-For", "10." + std::to_string(network) + ".0.1"}},
                                     body, "application/json");
        EXPECT_TRUE(res && res->status == 200);
        return res ? OfferIn(res->body) : "";
    }

    void ReportFrom(int network, const std::string& body) {
        httplib::Client client = service_->Client();
        const auto res = client.Post("/apis/trevanto/v1/update-report",
                                     {{"X-Api-Key", "clave-de-prueba"},
                                      {"X-Forwarded-For", "10." + std::to_string(network) + ".0.1"}},
                                     body, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << res->body;
    }

    // Every installation seen days before now: known to every rollout started after this.
    void KnownForDays() {
        Database db;
        std::string error;
        ASSERT_TRUE(OpenDatabase(service_->DatabasePath(), false, 5000, db, error));
        ASSERT_TRUE(db.Run("UPDATE installations SET days_seen = 3, first_seen_ms = first_seen_ms - 259200000").Ok());
    }

    long long StartRollout(const std::string& options) {
        httplib::Client client = service_->Client();
        const Login ana = LogIn(client, "ana", "una-clave-muy-larga");
        auto res = client.Post("/panel/api/versiones", With(ana.cookie, "X-CSRF-Token", ana.csrf),
                               "product=MarvekMesalto&version=6.0.3.17&file=paquetes/mesalto_6.0.3.17.zip",
                               "application/x-www-form-urlencoded");
        EXPECT_TRUE(res && (res->status == 200 || res->status == 400)) << (res ? res->body : "");
        res = client.Post("/panel/api/despliegues", With(ana.cookie, "X-CSRF-Token", ana.csrf),
                          "release=1&replaces=5.2.1.0&" + options, "application/x-www-form-urlencoded");
        EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "");
        service_->Rollouts().RefreshNow();
        return res && res->status == 200 ? nlohmann::json::parse(res->body)["id"].get<long long>() : 0;
    }

    nlohmann::json Json(const std::string& path) {
        httplib::Client client = service_->Client();
        const Login ana = LogIn(client, "ana", "una-clave-muy-larga");
        const auto res = client.Get(path.c_str(), ana.cookie);
        EXPECT_TRUE(res && res->status == 200) << path << (res ? res->body : "");
        return res ? nlohmann::json::parse(res->body, nullptr, false) : nlohmann::json();
    }

    TempDataFolder data_;
    std::unique_ptr<RunningService> service_;
};

}  // namespace

TEST_F(ConsoleFixture, EveryPageShowsWhatAgentsSentAsText) {
    const std::string hostileWindows = "<script>alert(3)</script>";  // within the 43 bytes of a version
    for (int i = 0; i < 4; ++i) CheckInFrom(i, CheckIn("MarvekMesalto", "pc-" + std::to_string(i), "5.2.1.0"));
    CheckInFrom(9, CheckIn("MarvekMesalto", Hostile, "5.2.1.0", hostileWindows));
    KnownForDays();
    const long long rollout = StartRollout("stages=100&min-networks=1&network-weight=0&max-failures=50&manual=1");
    const std::string offer = CheckInFrom(9, CheckIn("MarvekMesalto", Hostile, "5.2.1.0", hostileWindows));
    ASSERT_NE(offer, "");
    ReportFrom(9, Report(offer, "INSTALACION_FALLIDA", "PASO\"><i>", 5, Hostile));
    // A report that names no offer of ours, and a formula for a spreadsheet.
    ReportFrom(8, Report("https://x/p.zip", "DESCARGA_FALLIDA", "=HYPERLINK(\"http://x\")", 7));
    ASSERT_EQ(Json("/panel/api/fallos")["total"], 2);  // a report is answered once committed

    httplib::Client client = service_->Client();
    const Login ana = LogIn(client, "ana", "una-clave-muy-larga");
    const std::string id = service_->Rows(ReportKind::CheckIn, 1)[0].values["installation_id"];
    const std::string rolloutPath = "/panel/despliegues/" + std::to_string(rollout);
    const std::string pages[] = {
        "/panel/resumen", "/panel/despliegues", rolloutPath, "/panel/versiones", "/panel/versiones/1",
        "/panel/fallos", "/panel/fallos/instalaciones?despliegue=1&paso=PASO%22%3E%3Ci%3E&codigo=5",
        "/panel/instalaciones", "/panel/instalaciones?buscar=%3Cimg", "/panel/instalaciones/" + id,
        "/panel/registro", "/panel/avisos", "/panel/accesos", "/panel/despliegues/nuevo?desde=1"};
    for (const std::string& path : pages) {
        const auto res = client.Get(path.c_str(), ana.cookie);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        const std::string& page = res->body;
        EXPECT_EQ(page.find("<img"), std::string::npos) << path;
        EXPECT_EQ(page.find("<script>"), std::string::npos) << path;
        EXPECT_EQ(page.find("<i>"), std::string::npos) << path;
        EXPECT_EQ(page.find("onerror=alert(1)>"), std::string::npos) << path;
    }
    const auto installation = client.Get(("/panel/instalaciones/" + id).c_str(), ana.cookie);
    EXPECT_NE(installation->body.find("<td data-etiqueta=\"Valor\">&lt;script&gt;alert(3)&lt;/script&gt;</td>"),
              std::string::npos);
    const auto failed = client.Get(rolloutPath.c_str(), ana.cookie);
    EXPECT_NE(failed->body.find("paso=PASO%22%3E%3Ci%3E&amp;codigo=5"), std::string::npos);
    EXPECT_NE(failed->body.find("<td data-etiqueta=\"Mensaje\">" + HostileText + "</td>"), std::string::npos);

    // Exported, a formula stays text and a quote stays inside its cell.
    const auto csv = client.Get("/panel/fallos?formato=csv&orden=codigo&dir=asc", ana.cookie);
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(csv->body,
              "\xEF\xBB\xBF"
              "Despliegue,Producto,Versión,Paso,Código,Afectadas,Cuentan\r\n"
              "1,MarvekMesalto,6.0.3.17,\"PASO\"\"><i>\",5,1,instalaciones\r\n"
              "0,MarvekMesalto,6.0.3.17,\"'=HYPERLINK(\"\"http://x\"\")\",7,1,informes\r\n");
}

TEST_F(ConsoleFixture, ListsPageFilterSortAndCountFromTheStore) {
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service_->DatabasePath(), false, 5000, db, error));
    // 130 installations: pc-000 ... pc-129, a third of them on Windows 11, seen one minute apart.
    for (int i = 0; i < 130; ++i) {
        char host[16];
        std::snprintf(host, sizeof host, "pc-%03d", i);
        const std::string seen = "2026-12-09T10:" + std::string(i % 60 < 10 ? "0" : "") + std::to_string(i % 60) +
                                 ":00Z";
        ASSERT_TRUE(db.Run("INSERT INTO installations (id, product, hostname, client_address, program_version,"
                           " windows_version, first_seen, last_seen, last_seen_unix, checkins, days_seen)"
                           " VALUES (?1, 'MarvekOlvo', ?2, '10.0.0.1', '5.2.1.0', ?3, ?4, ?4, ?5, ?6, 2)",
                           {Text(std::string("id-") + host), Text(host), Text(i % 3 == 0 ? "10.0.22631" : "10.0.19045"),
                            Text(seen), Int(1800000000 + i), Int(i)})
                        .Ok());
    }
    const auto rows = [&](const std::string& query) {
        const nlohmann::json list = Json("/panel/api/instalaciones?" + query);
        std::vector<std::string> hosts;
        for (const auto& row : list["filas"]) hosts.push_back(row["equipo"]);
        return std::make_pair(list["total"].get<long long>(), hosts);
    };
    // Page 3 of 50 by check-ins, fewest first: the last 30.
    auto [total, hosts] = rows("orden=checkins&dir=asc&pagina=3");
    EXPECT_EQ(total, 130);
    ASSERT_EQ(hosts.size(), 30u);
    EXPECT_EQ(hosts.front(), "pc-100");
    EXPECT_EQ(hosts.back(), "pc-129");
    // Filtered by Windows and a part of the name, the most check-ins first.
    std::tie(total, hosts) = rows("windows=10.0.22631&buscar=PC-1&por_pagina=10&orden=checkins");
    EXPECT_EQ(total, 10);  // pc-102, 105, ..., 129
    EXPECT_EQ(hosts.front(), "pc-129");
    EXPECT_EQ(hosts.back(), "pc-102");
    // A middle page of the filtered list, and one past the end.
    std::tie(total, hosts) = rows("windows=10.0.19045&buscar=PC-1&por_pagina=10&pagina=2&orden=checkins");
    EXPECT_EQ(total, 20);
    ASSERT_EQ(hosts.size(), 10u);
    EXPECT_EQ(hosts[0] + hosts[1] + hosts[9], "pc-113pc-112pc-100");
    std::tie(total, hosts) = rows("pagina=4");
    EXPECT_EQ(total, 130);
    EXPECT_TRUE(hosts.empty());
    // What is not declared is not SQL: an unknown order, a wildcard in a search.
    std::tie(total, hosts) = rows("orden=hostname%3BDROP%20TABLE%20installations&buscar=%25");
    EXPECT_EQ(total, 0);
    EXPECT_EQ(StoreNumber(service_->DatabasePath(), "SELECT COUNT(*) FROM installations"), 130);
    // The page says how many there are, and how to go on.
    httplib::Client client = service_->Client();
    const Login lola = LogIn(client, "lola", "clave-de-lectura-larga");
    const auto page = client.Get("/panel/instalaciones?orden=checkins&dir=asc", lola.cookie);
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("130 instalaciones; se muestran de la 1 a la 50."), std::string::npos);
    EXPECT_NE(page->body.find("Página 1 de 3"), std::string::npos);
    EXPECT_NE(page->body.find("href=\"/panel/instalaciones?orden=checkins&amp;dir=asc&amp;pagina=2\""),
              std::string::npos);
    EXPECT_NE(page->body.find("<span title=\"10.0.22631\">Windows 11 23H2</span>"), std::string::npos);
}

TEST_F(ConsoleFixture, AReleasesHealthStandsBesideThePreviousReleaseOfItsProgram) {
    data_.Write("archivos/paquetes/mesalto_6.0.2.0.zip", "PK-anterior");
    for (int n = 1; n <= 6; ++n) CheckInFrom(n, CheckIn("MarvekMesalto", "pc-" + std::to_string(n), "5.2.1.0"));
    KnownForDays();
    httplib::Client client = service_->Client();
    const Login ana = LogIn(client, "ana", "una-clave-muy-larga");
    const auto post = [&](const std::string& path, const std::string& body) {
        const auto res = client.Post(path.c_str(), With(ana.cookie, "X-CSRF-Token", ana.csrf), body,
                                     "application/x-www-form-urlencoded");
        EXPECT_TRUE(res && res->status == 200) << path << (res ? res->body : "");
        service_->Rollouts().RefreshNow();
    };
    const auto checkInAndReport = [&](int n, const std::string& result, const std::string& step, int code) {
        const std::string offer = CheckInFrom(n, CheckIn("MarvekMesalto", "pc-" + std::to_string(n), "5.2.1.0"));
        ASSERT_FALSE(offer.empty()) << n;
        ReportFrom(n, Report(offer, result, step, code, code ? "acceso denegado" : ""));
    };
    // 6.0.2.0: one of three failed, then halted by hand; 6.0.3.17: two of three failed, at the same step.
    post("/panel/api/versiones", "product=MarvekMesalto&version=6.0.2.0&file=paquetes/mesalto_6.0.2.0.zip");
    post("/panel/api/despliegues", "release=1&replaces=5.2.1.0&stages=100&manual=1");
    checkInAndReport(1, "OK", "", 0);
    checkInAndReport(2, "OK", "", 0);
    checkInAndReport(3, "DESCARGA_FALLIDA", "DESCARGAR", 12029);
    post("/panel/api/despliegues/1/detener", "");
    post("/panel/api/versiones", "product=MarvekMesalto&version=6.0.3.17&file=paquetes/mesalto_6.0.3.17.zip");
    post("/panel/api/despliegues", "release=2&replaces=5.2.1.0&stages=100&manual=1");
    checkInAndReport(4, "INSTALACION_FALLIDA", "COPIAR_EJECUTABLE", 5);
    checkInAndReport(5, "INSTALACION_FALLIDA", "COPIAR_EJECUTABLE", 5);
    checkInAndReport(6, "OK", "", 0);

    const nlohmann::json release = Json("/panel/api/versiones/2?ventana=24h");
    ASSERT_TRUE(release.contains("salud")) << release.dump();
    const nlohmann::json& health = release["salud"];
    EXPECT_EQ(health["instalaciones_con_resultado"], 3);
    EXPECT_EQ(health["instalaciones_fallidas"], 2);
    EXPECT_EQ(health["anterior"],
              nlohmann::json::parse(R"({"version":"6.0.2.0","instalaciones_con_resultado":3,"instalaciones_fallidas":1})"));
    // Hour by hour over 24 hours: what came in fell in the last hour (or the one before, when the hour turned).
    ASSERT_EQ(health["ok"].size(), 24u);
    const auto lastTwo = [](const nlohmann::json& series) {
        long long earlier = 0;
        for (size_t i = 0; i + 2 < series.size(); ++i) earlier += series[i].get<long long>();
        return std::make_pair(earlier, series[22].get<long long>() + series[23].get<long long>());
    };
    EXPECT_EQ(lastTwo(health["ok"]), std::make_pair(0LL, 1LL));
    EXPECT_EQ(lastTwo(health["fallidos"]), std::make_pair(0LL, 2LL));
    EXPECT_EQ(health["segundos_por_intervalo"], 3600);
    ASSERT_EQ(health["fallos"].size(), 1u);
    const nlohmann::json& group = health["fallos"][0];
    EXPECT_EQ(group["paso"].get<std::string>() + " " + std::to_string(group["codigo"].get<int>()) + " " +
                  group["mensaje"].get<std::string>() + " " + std::to_string(group["informes"].get<int>()) + " " +
                  std::to_string(group["instalaciones"].get<int>()),
              "COPIAR_EJECUTABLE 5 acceso denegado 2 2");
    // On the page: the rate beside the previous release's, marked when worse, and both charts.
    const auto page = client.Get("/panel/versiones/2?ventana=24h", ana.cookie);
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<div class=\"cifra mala\">Tasa de fallos<strong>66,7 %</strong>2 fallidas de 3 "
                              "instalaciones con resultado"),
              std::string::npos);
    EXPECT_NE(page->body.find("Versión anterior (6.0.2.0)<strong>33,3 %</strong>1 fallida de 3"), std::string::npos);
    EXPECT_NE(page->body.find("aria-label=\"Instalaciones actualizadas (informes OK acumulados)\""),
              std::string::npos);
    EXPECT_NE(page->body.find("aria-label=\"Informes fallidos por intervalo\""), std::string::npos);
}

TEST_F(ConsoleFixture, AStageSaysWhatItWaitsForAndWarnsWhenItCanNeverAdvanceAsSet) {
    for (int n = 1; n <= 4; ++n) CheckInFrom(n, CheckIn("MarvekMesalto", "pc-" + std::to_string(n), "5.2.1.0"));
    KnownForDays();
    // A two-host pilot asked for 20 outcomes: it can never have them.
    const long long rollout = StartRollout("pilot=pc-1,pc-2&stages=100&min-outcomes=20&soak-minutes=30");
    const nlohmann::json view = Json("/panel/api/despliegues/" + std::to_string(rollout));
    // The soak's time left is what remains of its 30 minutes once the page is read: the clock moves on.
    const std::string waiting = view["espera"];
    const std::regex said("La etapa piloto avanza sola cuando tenga 20 resultados más que cuenten \\(lleva 0,0 de "
                          "20\\), 3 redes más con resultados \\(lleva 0 de 3\\) y (30 min|2\\d min \\d\\d? s) más "
                          "de observación \\(hasta las \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d\\)\\.");
    EXPECT_TRUE(std::regex_match(waiting, said)) << waiting;
    // Each stage counts its own band: the pilot's two hosts, and the two others.
    const std::string never = " no puede avanzar sola tal como está: sus 2 instalaciones que cuentan dan como mucho "
                              "2,0 resultados y pide 20. Avánzela a mano o empiece otro despliegue con otros ajustes.";
    EXPECT_EQ(view["advertencias"], nlohmann::json({"La etapa piloto" + never, "La etapa 100 %" + never}));
    // Halted, it waits for nothing: no warning.
    httplib::Client client = service_->Client();
    const Login ana = LogIn(client, "ana", "una-clave-muy-larga");
    ASSERT_TRUE(client.Post(("/panel/api/despliegues/" + std::to_string(rollout) + "/detener").c_str(),
                            With(ana.cookie, "X-CSRF-Token", ana.csrf), "", "application/x-www-form-urlencoded"));
    EXPECT_EQ(Json("/panel/api/despliegues/" + std::to_string(rollout))["advertencias"], nlohmann::json::array());
}

TEST_F(ConsoleFixture, RolesAndTokensBoundWhatEachMayDo) {
    CheckInFrom(1, CheckIn("MarvekMesalto", "pc-1", "5.2.1.0"));
    KnownForDays();
    const long long rollout = StartRollout("stages=100&manual=1");
    const std::string pause = "/panel/api/despliegues/" + std::to_string(rollout) + "/pausar";
    httplib::Client client = service_->Client();
    const Login lola = LogIn(client, "lola", "clave-de-lectura-larga");
    const Login luis = LogIn(client, "luis", "otra-clave-muy-larga");
    // A reader reads, and changes nothing; an operator runs rollouts, but not the accesses.
    EXPECT_EQ(client.Get("/panel/api/resumen", lola.cookie)->status, 200);
    EXPECT_EQ(client.Post(pause.c_str(), With(lola.cookie, "X-CSRF-Token", lola.csrf), "", "text/plain")->status, 403);
    EXPECT_EQ(client.Get("/panel/accesos", luis.cookie)->status, 403);
    EXPECT_EQ(client.Post(pause.c_str(), With(luis.cookie, "X-CSRF-Token", luis.csrf), "", "text/plain")->status, 200);

    // A token for a build pipeline: shown once, it publishes and reads, runs nothing, and stops when revoked.
    const Login ana = LogIn(client, "ana", "una-clave-muy-larga");
    auto res = client.Post("/panel/accesos/tokens", ana.cookie,
                           "csrf=" + ana.csrf + "&nombre=integraci%C3%B3n&alcance=publicar",
                           "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    std::smatch found;
    const std::string shown = res->body;
    ASSERT_TRUE(std::regex_search(shown, found, std::regex("<code class=\"secreto\">(trv_[0-9a-f]{64})</code>")));
    const httplib::Headers bearer = {{"Authorization", "Bearer " + found[1].str()}};
    EXPECT_EQ(client.Get("/panel/api/accesos", ana.cookie)->status, 200);
    const auto listed = client.Get("/panel/accesos", ana.cookie);
    EXPECT_EQ(listed->body.find(found[1].str()), std::string::npos);  // never shown again
    EXPECT_EQ(client.Get("/panel/api/versiones", bearer)->status, 200);
    data_.Write("archivos/paquetes/mesalto_6.0.3.18.zip", "PK-otro");
    res = client.Post("/panel/api/versiones", bearer,
                      "product=MarvekMesalto&version=6.0.3.18&file=paquetes/mesalto_6.0.3.18.zip",
                      "application/x-www-form-urlencoded");
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(client.Post(pause.c_str(), bearer, "", "text/plain")->status, 403);
    EXPECT_EQ(client.Get("/panel/resumen", bearer)->status, 303);  // pages need a session
    const long long token = StoreNumber(service_->DatabasePath(), "SELECT id FROM api_tokens");
    res = client.Post(("/panel/accesos/tokens/" + std::to_string(token) + "/revocar").c_str(), ana.cookie,
                      "csrf=" + ana.csrf, "application/x-www-form-urlencoded");
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(client.Get("/panel/api/versiones", bearer)->status, 401);

    // Every change is in the log, with who made it.
    const nlohmann::json log = Json("/panel/api/registro?orden=id&dir=asc");
    std::vector<std::string> entries;
    for (const auto& row : log["filas"]) entries.push_back(row["quien"].get<std::string>() + ": " + row["que"].get<std::string>());
    EXPECT_EQ(entries, (std::vector<std::string>{"ana: versión añadida", "ana: despliegue iniciado",
                                                 "luis: despliegue pausado", "ana: token cambiado",
                                                 "token «integración»: versión añadida", "ana: token cambiado"}));
}

TEST(ConsoleAccess, LoginSessionCookieCsrfAndTheAskedPage) {
    TempDataFolder data;
    ServiceOptions options;
    options.logins.firstWaitSeconds = 200;  // long enough that a slow machine cannot outlast it
    RunningService service(data.Root(), options);
    {
        Database db;
        std::string error;
        ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
        ASSERT_TRUE(SaveOperator(db, "ana", "una-clave-muy-larga", error)) << error;
        ASSERT_TRUE(SaveOperator(db, "luis", "otra-clave-muy-larga", error)) << error;
    }
    httplib::Client client = service.Client();

    auto res = client.Get("/panel/resumen");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), "/panel/entrar");
    res = client.Get("/panel/despliegues/3?ventana=24h");
    // (this client decodes %XX in header values; the browser test sees the address as sent)
    EXPECT_EQ(res->get_header_value("Location"), "/panel/entrar?volver=/panel/despliegues/3?ventana=24h");
    res = client.Get("/panel/api/resumen");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);

    res = client.Get("/panel/entrar?volver=%2Fpanel%2Fdespliegues%2F3%3Fventana%3D24h");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("name=\"volver\" value=\"/panel/despliegues/3?ventana=24h\""), std::string::npos);
    const std::string loginCookie = SetCookieOf(res, "panel_entrada");
    const std::string loginCsrf = CsrfIn(res->body);
    ASSERT_EQ(loginCookie, "panel_entrada=" + loginCsrf + "; Path=/panel/; HttpOnly; Secure; SameSite=Strict; Max-Age=3600");
    EXPECT_EQ(res->get_header_value("Content-Security-Policy").rfind("default-src 'none'", 0), 0u);
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY");
    const httplib::Headers withLoginCookie = {{"Cookie", "panel_entrada=" + loginCsrf}};
    const auto login = [&](const std::string& name, const std::string& password, const std::string& csrf,
                           const std::string& back = "") {
        return client.Post("/panel/entrar", withLoginCookie,
                           "csrf=" + csrf + "&usuario=" + name + "&clave=" + password + "&volver=" + back,
                           "application/x-www-form-urlencoded");
    };
    res = login("luis", "otra-clave-muy-larga", std::string(64, 'f'));  // a token that is not the cookie's
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    // The page asked for, and never another site's, the API or the login itself.
    const std::pair<std::string, std::string> returns[] = {
        {"%2Fpanel%2Fdespliegues%2F3%3Fventana%3D24h", "/panel/despliegues/3?ventana=24h"},
        {"https%3A%2F%2Fotro.example%2F", "/panel/resumen"},
        {"%2F%2Fotro.example%2Fpanel%2F", "/panel/resumen"},
        {"%2Fpanel%2F%2Fotro.example", "/panel/resumen"},
        {"%2Fpanel%2Fapi%2Fresumen", "/panel/resumen"},
        {"%2Fpanel%2Fresumen%0d%0aSet-Cookie%3A%20x%3Dy", "/panel/resumen"},
    };
    for (const auto& [sent, expected] : returns) {
        res = login("luis", "otra-clave-muy-larga", loginCsrf, sent);
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 303) << sent;
        EXPECT_EQ(res->get_header_value("Location"), expected) << sent;
    }
    const std::string session = SetCookieOf(res, "panel_sesion");
    const std::regex shape("panel_sesion=([0-9a-f]{64}); Path=/panel/; HttpOnly; Secure; SameSite=Strict; Max-Age=43200");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(session, match, shape)) << session;
    const httplib::Headers withSession = {{"Cookie", "panel_sesion=" + match[1].str()}};
    res = login("luis", "otra-clave-muy-larga", loginCsrf);  // a second session, on another browser
    ASSERT_TRUE(res);
    const std::string other = SetCookieOf(res, "panel_sesion");
    std::smatch otherMatch;
    ASSERT_TRUE(std::regex_match(other, otherMatch, shape));
    const httplib::Headers withOtherSession = {{"Cookie", "panel_sesion=" + otherMatch[1].str()}};

    for (int i = 0; i < 5; ++i) {
        res = login("ana", "otra", loginCsrf);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401) << i;
        EXPECT_NE(res->body.find("Usuario o clave incorrectos."), std::string::npos);
        EXPECT_EQ(SetCookieOf(res, "panel_sesion"), "");
    }
    // Five failures: now even the right password must wait.
    res = login("ana", "una-clave-muy-larga", loginCsrf);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_GT(std::stoi(res->get_header_value("Retry-After")), 100);
    EXPECT_EQ(SetCookieOf(res, "panel_sesion"), "");

    res = client.Get("/panel/resumen", withSession);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
    const std::string csrf = CsrfIn(res->body);
    ASSERT_EQ(csrf.size(), 64u);
    // Changing anything needs the session's token.
    for (const std::string& body : {std::string(), "csrf=" + std::string(64, '0'), "csrf=" + loginCsrf}) {
        res = client.Post("/panel/despliegues/1/pausar", withSession, body, "application/x-www-form-urlencoded");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 403) << body;
    }
    res = client.Post("/panel/despliegues/1/pausar", withSession, "csrf=" + csrf, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), "/panel/despliegues/1?aviso=rechazado");  // there is no such rollout
    res = client.Post("/panel/api/despliegues/1/pausar", {{"Cookie", "panel_sesion=" + match[1].str()}}, "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);  // the API's token goes in X-CSRF-Token
    // The API logs in with JSON only.
    res = client.Post("/panel/api/entrar", R"({"usuario":"luis","clave":"otra-clave-muy-larga"})", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415);
    // Logging out ends the session.
    res = client.Post("/panel/salir", withSession, "csrf=" + csrf, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    res = client.Get("/panel/api/resumen", withSession);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    // A new password ends every session of the operator; removing one ends them too.
    res = client.Get("/panel/api/resumen", withOtherSession);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    EXPECT_FALSE(SaveOperator(db, "nadie", "una-clave-nueva-larga", error, true));
    EXPECT_EQ(error, "there is no operator nadie");
    ASSERT_TRUE(SaveOperator(db, "luis", "una-clave-nueva-larga", error, true)) << error;
    res = client.Get("/panel/api/resumen", withOtherSession);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(StoreNumber(service.DatabasePath(), "SELECT COUNT(*) FROM sessions WHERE operator = 'luis'"), 0);
    ASSERT_TRUE(RemoveOperator(db, "luis", error)) << error;
    EXPECT_FALSE(RemoveOperator(db, "luis", error));
    EXPECT_EQ(StoreNumber(service.DatabasePath(), "SELECT COUNT(*) FROM operators"), 1);
}
