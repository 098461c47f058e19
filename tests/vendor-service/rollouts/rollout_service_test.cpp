// A rollout through the service, over loopback: offers with tokens to the
// installations inside the stage, downloads and reports tied to them, the
// confirming check-in, and a halt that concurrent reports cannot slip past.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "../service_fixture.h"
#include "rollouts/offer_token.h"
#include "rollouts/rollout_rules.h"

namespace {

httplib::Headers Key() {
    return {{"X-Api-Key", "clave-de-prueba"}};
}

// From a client at `address`, as the trusted balancer in front (127.0.0.1) says.
httplib::Headers From(const std::string& address) {
    return {{"X-Api-Key", "clave-de-prueba"}, {"X-Forwarded-For", address}};
}

// A service that believes X-Forwarded-For from loopback, so that tests speak
// from many networks.
ServiceOptions BehindBalancer() {
    ServiceOptions options;
    options.trustedProxies = {"127.0.0.1"};
    return options;
}

std::string CheckIn(const std::string& host, const std::string& version) {
    return nlohmann::json({{"Programa", "MarvekMesalto"},
                           {"Version", version},
                           {"hostname", host},
                           {"installed_path", "C:\\Marvek\\Marvek Mesalto\\mesalto.exe"}})
        .dump();
}

// Each report with an id of its own, as agents send them.
std::string Report(const std::string& url, const std::string& result, const std::string& step, int code) {
    static std::atomic<int> sent{0};
    return nlohmann::json({{"Programa", "MarvekMesalto"},
                           {"version_anterior", "5.2.1.0"},
                           {"version_nueva", "6.0.3.17"},
                           {"url_parche", url},
                           {"resultado", result},
                           {"codigo_error", code},
                           {"mensaje_error", ""},
                           {"paso_fallido", step},
                           {"duracion_segundos", 4},
                           {"report_id", "r-" + std::to_string(++sent)}})
        .dump();
}

// The offer's address in a check-in answer, or "" when it carries none.
std::string OfferIn(const std::string& answer) {
    const nlohmann::json document = nlohmann::json::parse(answer, nullptr, false);
    if (!document.is_object() || !document.contains("alertas")) return "";
    for (const auto& item : document["alertas"]) {
        if (item.value("tipo", "") == "url_actualizar") return item["contenido"][0].value("enlace", "");
    }
    return "";
}

const std::string SignatureText = "q+/" + std::string(83, 'A') + "==";

// Starts a rollout of 6.0.3.17 (replacing 5.2.1.0) on the service's store.
long long StartRollout(RunningService& service, const std::vector<double>& stages, int minOutcomes, int maxFailures,
                       double maxRate) {
    Database db;
    std::string error;
    EXPECT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error)) << error;
    Rollout rollout;
    rollout.release.product = "MarvekMesalto";
    rollout.release.version = "6.0.3.17";
    rollout.release.url = "https://descargas.marvek.example/paquetes/mesalto_6.0.3.17.zip";
    rollout.release.servedPath = "/paquetes/mesalto_6.0.3.17.zip";
    rollout.release.size = 7;
    rollout.release.sha256 = std::string(64, 'a');
    rollout.release.signature = SignatureText;
    EXPECT_TRUE(InsertRelease(db, rollout.release, error)) << error;
    rollout.targeting.versions = {"5.2.1.0"};
    rollout.settings.stages = StagesOf(stages, false);
    rollout.settings.minOutcomes = minOutcomes;
    rollout.settings.maxFailures = maxFailures;
    rollout.settings.maxFailureRate = maxRate;
    rollout.settings.autoAdvance = false;
    EXPECT_TRUE(InsertRollout(db, rollout, error)) << error;
    service.Rollouts().RefreshNow();
    return rollout.id;
}

long long Number(RunningService& service, const std::string& sql) {
    return StoreNumber(service.DatabasePath(), sql);
}

// A check-in of PC-<i> from its own network (10.i.0.1); the offer's address, or "".
std::string CheckInFrom(httplib::Client& client, int i, const std::string& version = "5.2.1.0",
                        const std::string& path = "C:\\Marvek\\Marvek Mesalto\\mesalto.exe") {
    const std::string body = nlohmann::json({{"Programa", "MarvekMesalto"},
                                             {"Version", version},
                                             {"hostname", "PC-" + std::to_string(i)},
                                             {"installed_path", path}})
                                 .dump();
    const auto res =
        client.Post("/apis/trevanto/v1/checkin", From("10." + std::to_string(i) + ".0.1"), body, "application/json");
    EXPECT_TRUE(res && res->status == 200);
    return res ? OfferIn(res->body) : "";
}

int Failed(httplib::Client& client, const std::string& url, int network) {
    const auto res = client.Post("/apis/trevanto/v1/update-report", From("10." + std::to_string(network) + ".0.9"),
                                 Report(url, "INSTALACION_FALLIDA", "MOVER_EXE_NUEVO", 5), "application/json");
    return res ? res->status : 0;
}

Rollout Stored(RunningService& service, long long id) {
    Database db;
    std::string error;
    Rollout rollout;
    EXPECT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    EXPECT_TRUE(LoadRollout(db, id, rollout, error)) << error;
    return rollout;
}

}  // namespace

TEST(RolloutService, OffersGoToTheStageAndEveryStepIsTiedToTheOffer) {
    TempDataFolder data;
    data.Write("archivos/paquetes/mesalto_6.0.3.17.zip", "paquete");
    data.Write("notificaciones/default.json", R"({"titulo":"T","alertas":[{"tipo":"solo_mensaje","contenido":[]}]})");
    RunningService service(data.Root(), BehindBalancer());
    const long long rollout = StartRollout(service, {10, 100}, 5, 0, 0.5);
    httplib::Client client = service.Client();

    std::vector<std::pair<std::string, std::string>> offered;  // host, address
    for (int i = 0; i < 300; ++i) {
        const std::string host = "PC-" + std::to_string(i);
        const auto res = client.Post("/apis/trevanto/v1/checkin", From("10.0." + std::to_string(i % 50) + ".1"),
                                     CheckIn(host, "5.2.1.0"), "application/json");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
        const std::string url = OfferIn(res->body);
        const std::string id = InstallationId(RunningService::Secret, "MarvekMesalto", host,
                                              "C:\\Marvek\\Marvek Mesalto\\mesalto.exe", "127.0.0.1");
        // Exactly the installations whose place is under 10 %.
        EXPECT_EQ(!url.empty(), PlaceInRollout(id, 1) < 10) << host;
        if (url.empty()) continue;
        EXPECT_EQ(url, WithOfferToken("https://descargas.marvek.example/paquetes/mesalto_6.0.3.17.zip",
                                      OfferToken(RunningService::Secret, id, rollout)));
        // The vendor's items come first, the offer after them, with the release's hash and signature.
        const nlohmann::json document = nlohmann::json::parse(res->body);
        EXPECT_EQ(document["alertas"].size(), 2u);
        EXPECT_EQ(document["alertas"][1]["contenido"][0]["sha256"], std::string(64, 'a'));
        EXPECT_EQ(document["alertas"][1]["contenido"][0]["firma"], SignatureText);
        offered.emplace_back(host, url);
    }
    ASSERT_GT(offered.size(), 15u);
    ASSERT_LT(offered.size(), 50u);
    // Versions it does not replace, or the release's own, get no offer.
    for (const char* version : {"6.0.3.17", "5.2.0.0", ""}) {
        const auto res =
            client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn(offered[0].first, version), "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(OfferIn(res->body), "") << version;
    }

    // The first installation downloads (whole), reports OK and checks in
    // with the new version; the second fails in two steps; the third reports
    // OK but comes back with the old version.
    const std::string path = offered[0].second.substr(std::string("https://descargas.marvek.example").size());
    auto got = client.Get(path);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->body, "paquete");
    got = client.Get(offered[1].second.substr(32), {{"Range", "bytes=0-2"}});
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 206);
    auto post = [&](const std::string& body) {
        return client.Post("/apis/trevanto/v1/update-report", Key(), body, "application/json");
    };
    ASSERT_TRUE(post(Report(offered[0].second, "OK", "", 0)));
    ASSERT_TRUE(post(Report(offered[1].second, "DESCARGA_FALLIDA", "VERIFICAR_HASH", 13)));
    ASSERT_TRUE(post(Report(offered[2].second, "OK", "", 0)));
    // Unlinked: no token, and a token of another secret.
    ASSERT_TRUE(post(Report("https://descargas.marvek.example/paquetes/mesalto_6.0.3.17.zip", "OK", "", 0)));
    ASSERT_TRUE(post(Report(WithOfferToken("https://x.example/p.zip",
                                           OfferToken("otro", std::string(32, 'a'), rollout)),
                            "INSTALACION_FALLIDA", "X", 5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the confirmation is a later check-in
    ASSERT_TRUE(client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn(offered[0].first, "6.0.3.17"), "application/json"));
    ASSERT_TRUE(client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn(offered[2].first, "5.2.1.0"), "application/json"));
    // The failed one is held back for a day: no offer at once.
    const auto again = client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn(offered[1].first, "5.2.1.0"), "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(OfferIn(again->body), "");

    const std::string where = " FROM rollout_installations WHERE rollout_id = " + std::to_string(rollout);
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where), static_cast<long long>(offered.size()));
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where + " AND download_completed_at IS NOT NULL"), 1);
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where + " AND download_started_at IS NOT NULL"), 2);
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where + " AND outcomes = 1"), 3);
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where + " AND failures = 1 AND last_code = 13"), 1);
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where + " AND confirmed_at IS NOT NULL"), 1);
    EXPECT_EQ(Number(service, "SELECT COUNT(*)" + where + " AND unconfirmed_at IS NOT NULL"), 1);
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM update_reports WHERE rollout_id IS NULL"), 2);
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM installations"), 300);
    EXPECT_EQ(Number(service, "SELECT COUNT(DISTINCT network) FROM installations"), 50);
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM rollouts WHERE status = 'EN_CURSO'"), 1);
}

TEST(RolloutService, ConcurrentFailuresHaltTheRolloutOnceAtItsThreshold) {
    TempDataFolder data;
    RunningService service(data.Root(), BehindBalancer());
    httplib::Client client = service.Client();
    for (int i = 0; i < 12; ++i) CheckInFrom(client, i);  // the vendor's fleet, before the rollout
    const long long rollout = StartRollout(service, {100}, 1, 3, 1.0);
    std::vector<std::string> urls;
    for (int i = 0; i < 12; ++i) {
        urls.push_back(CheckInFrom(client, i));
        ASSERT_NE(urls.back(), "");
    }
    // Twelve failures at once, from twelve connections and networks.
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (size_t i = 0; i < urls.size(); ++i) {
        threads.emplace_back([&, i] {
            httplib::Client own = service.Client();
            if (Failed(own, urls[i], static_cast<int>(i)) == 200) ++answered;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(answered, 12);
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    Rollout halted;
    ASSERT_TRUE(LoadRollout(db, rollout, halted, error)) << error;
    EXPECT_EQ(halted.status, "DETENIDO");
    // Decided at the third failure, whatever the order they came in.
    EXPECT_EQ(halted.haltReason, "3 instalaciones fallaron en la etapa 100 %, en 3 redes (límite: 3)");
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM rollout_events WHERE event = 'detenido'"), 1);
    EXPECT_EQ(Number(service, "SELECT SUM(failures) FROM rollout_installations"), 12);
    // Halted: from the very next check-in on, no one is offered it.
    EXPECT_EQ(CheckInFrom(client, 99), "");
}

TEST(RolloutService, OutcomesCountFromTheFleetKnownBeforeAndFromEnoughNetworks) {
    TempDataFolder data;
    RunningService service(data.Root(), BehindBalancer());
    httplib::Client client = service.Client();
    for (int i = 0; i < 3; ++i) CheckInFrom(client, i);  // the vendor's fleet: three installations
    const long long rollout = StartRollout(service, {100}, 1, 2, 1.0);
    // Twenty installations made up after the start fail, from twenty networks: they count nowhere.
    for (int i = 10; i < 30; ++i) ASSERT_EQ(Failed(client, CheckInFrom(client, i), i), 200);
    // A real installation's failure, in one network, then a second network's.
    ASSERT_EQ(Failed(client, CheckInFrom(client, 0), 0), 200);
    ASSERT_EQ(Failed(client, CheckInFrom(client, 1), 1), 200);
    service.Rollouts().RefreshNow();
    EXPECT_EQ(Stored(service, rollout).status, "EN_CURSO");
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    StageCounts counts = LoadStageCounts(db, rollout, 0);
    EXPECT_EQ((std::vector<int>{counts.outcomes, counts.failures, counts.failedNetworks, counts.uncountedOutcomes,
                                counts.uncountedFailures}),
              (std::vector<int>{2, 2, 2, 20, 20}));
    // A third network decides.
    ASSERT_EQ(Failed(client, CheckInFrom(client, 2), 2), 200);
    EXPECT_EQ(Stored(service, rollout).haltReason,
              "3 instalaciones fallaron en la etapa 100 %, en 3 redes (límite: 2)");
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM rollout_installations WHERE counted = 1"), 3);
    EXPECT_EQ(Number(service, "SELECT COUNT(DISTINCT network) FROM rollout_installations WHERE counted = 1"), 3);
}

TEST(RolloutService, AnEarlierStagesLateFailuresStillHalt) {
    TempDataFolder data;
    RunningService service(data.Root(), BehindBalancer());
    httplib::Client client = service.Client();
    for (int i = 0; i < 60; ++i) CheckInFrom(client, i);
    const long long rollout = StartRollout(service, {50, 100}, 3, 0, 0.5);
    std::vector<std::pair<int, std::string>> first;  // offered in the first stage
    for (int i = 0; i < 60; ++i) {
        const std::string url = CheckInFrom(client, i);
        if (!url.empty()) first.emplace_back(i, url);
    }
    ASSERT_GE(first.size(), 10u);
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    ASSERT_TRUE(ApplyRolloutCommand(db, RolloutCommand{rollout, "avanzar", "ana"}, error)) << error;
    service.Rollouts().RefreshNow();
    ASSERT_EQ(Stored(service, rollout).currentStage, 1);
    // The first stage's installations report after it was left: their failures still halt.
    for (size_t k = 0; k < 3; ++k) ASSERT_EQ(Failed(client, first[k].second, first[k].first), 200);
    const Rollout halted = Stored(service, rollout);
    EXPECT_EQ(halted.status, "DETENIDO");
    EXPECT_EQ(halted.haltReason,
              "fallaron 3 de 3 instalaciones en la etapa 50 % (100.0 %, en 3 redes; límite: 50.0 %)");
}

TEST(RolloutService, PilotsAndTokensBelongToWhatTheServiceKnew) {
    TempDataFolder data;
    data.Write("archivos/paquetes/mesalto_6.0.3.17.zip", "paquete");
    data.Write("archivos/paquetes/otro.zip", "otro");
    data.Write("archivos/uploads/terminos.rtf", "{\\rtf1 }");
    data.Write("notificaciones/default.json",
               R"({"titulo":"T","alertas":[{"tipo":"documento_rtf","contenido":[{"enlace":)"
               R"("https://imagenes.marvek.example/uploads/terminos.rtf"}]},{"tipo":"documento_rtf","contenido":[)"
               R"({"enlace":"https://otro.example/t.rtf"}]}]})");
    ServiceOptions options = BehindBalancer();
    options.fleet.newInstallationsPerNetworkDay = 4;
    RunningService service(data.Root(), options);
    httplib::Client client = service.Client();
    CheckInFrom(client, 1);  // PC-1, the real pilot
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    Rollout rollout;
    rollout.release.product = "MarvekMesalto";
    rollout.release.version = "6.0.3.17";
    rollout.release.url = "https://descargas.marvek.example/paquetes/mesalto_6.0.3.17.zip";
    rollout.release.servedPath = "/paquetes/mesalto_6.0.3.17.zip";
    rollout.release.sha256 = std::string(64, 'a');
    ASSERT_TRUE(InsertRelease(db, rollout.release, error)) << error;
    rollout.targeting.versions = {"5.2.1.0"};
    rollout.settings.pilotHosts = {"pc-1"};
    rollout.settings.stages = StagesOf({100}, true);
    ASSERT_TRUE(InsertRollout(db, rollout, error)) << error;
    service.Rollouts().RefreshNow();
    // A stranger claiming the pilot's name (another path: another installation) gets nothing.
    const std::string claimed = nlohmann::json({{"Programa", "MarvekMesalto"},
                                                {"Version", "5.2.1.0"},
                                                {"hostname", "pc-1"},
                                                {"installed_path", "C:\\y\\mesalto.exe"}})
                                    .dump();
    const auto stranger = client.Post("/apis/trevanto/v1/checkin", From("10.2.0.1"), claimed, "application/json");
    ASSERT_TRUE(stranger);
    EXPECT_EQ(OfferIn(stranger->body), "");
    const std::string url = CheckInFrom(client, 1);
    ASSERT_NE(url, "");
    const std::string pilot =
        InstallationId(RunningService::Secret, "MarvekMesalto", "PC-1", "C:\\Marvek\\Marvek Mesalto\\mesalto.exe", "");
    // The documents served here carry the installation's token; others are left as they are.
    const auto answer =
        client.Post("/apis/trevanto/v1/checkin", From("10.1.0.1"), CheckIn("PC-1", "6.0.3.17"), "application/json");
    ASSERT_TRUE(answer);
    const nlohmann::json document = nlohmann::json::parse(answer->body);
    const std::string rtf = document["alertas"][0]["contenido"][0]["enlace"];
    EXPECT_EQ(rtf, "https://imagenes.marvek.example/uploads/terminos.rtf?a=" +
                       AcceptanceToken(RunningService::Secret, pilot));
    EXPECT_EQ(document["alertas"][1]["contenido"][0]["enlace"], "https://otro.example/t.rtf");
    // The token counts for the rollout's own file, and for its own product.
    const std::string token = url.substr(url.find("?o="));
    ASSERT_TRUE(client.Get("/paquetes/otro.zip" + token));
    ASSERT_TRUE(client.Get("/paquetes/mesalto_6.0.3.17.zip" + token, {{"Range", "bytes=0-1"}}));
    std::string other = Report(url, "INSTALACION_FALLIDA", "X", 5);
    other.replace(other.find("MarvekMesalto"), 13, "MarvekOlvo");
    for (const std::string& body :
         {other, Report("https://descargas.marvek.example/paquetes/otro.zip" + token, "OK", "", 0)}) {
        ASSERT_EQ(client.Post("/apis/trevanto/v1/update-report", From("10.1.0.1"), body, "application/json")->status,
                  200);
    }
    const auto accepted =
        client.Post("/apis/trevanto/v1/rtf-acceptance", From("10.7.0.1"),
                    nlohmann::json({{"Programa", "MarvekMesalto"}, {"rtf_url", rtf}, {"acceptance_id", "x"}}).dump(),
                    "application/json");
    ASSERT_TRUE(accepted && accepted->status == 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the download's row has no one waiting for it
    service.Writer().Stop(5000);
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM update_reports WHERE rollout_id IS NULL"), 2);
    EXPECT_EQ(Number(service, "SELECT outcomes FROM rollout_installations"), 0);
    // Begun by the package's first two bytes; the other file, fetched whole, did not complete it.
    EXPECT_EQ(Number(service, "SELECT COUNT(download_started_at) FROM rollout_installations"), 1);
    EXPECT_EQ(Number(service, "SELECT COUNT(download_completed_at) FROM rollout_installations"), 0);
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM acceptance_reports WHERE installation_id = '" + pilot + "'"), 1);

    // A network brings four new installations a day; a fifth is answered and stored, not kept.
    TempDataFolder second;
    RunningService bounded(second.Root(), options);
    httplib::Client again = bounded.Client();
    for (int i = 0; i < 6; ++i) {
        const auto res = again.Post("/apis/trevanto/v1/checkin", From("10.9.0." + std::to_string(i + 1)),
                                    CheckIn("N-" + std::to_string(i), "5.2.1.0"), "application/json");
        ASSERT_TRUE(res && res->status == 200);
    }
    EXPECT_EQ(Number(bounded, "SELECT COUNT(*) FROM installations"), 4);
    EXPECT_EQ(Number(bounded, "SELECT COUNT(*) FROM checkins"), 6);
    EXPECT_EQ(Number(bounded, "SELECT COUNT(*) FROM checkins WHERE without_history = 1"), 6);
    ASSERT_TRUE(
        again.Post("/apis/trevanto/v1/checkin", From("10.8.0.1"), CheckIn("N-9", "5.2.1.0"), "application/json"));
    EXPECT_EQ(Number(bounded, "SELECT COUNT(*) FROM installations"), 5);
}

// A release whose program does not start: each agent reports OK, then, having
// put the previous program back, ARRANQUE_FALLIDO for the same offer. Those
// count as failures (after the OK) and halt the first stage; an installation
// put back is never offered the release again, even after its retry pause.
TEST(RolloutService, FailedStartsCountAsFailuresAndAreNotOfferedAgain) {
    TempDataFolder data;
    RunningService service(data.Root(), BehindBalancer());
    httplib::Client client = service.Client();
    for (int i = 0; i < 40; ++i) CheckInFrom(client, i);
    const long long rollout = StartRollout(service, {100}, 3, 0, 0.5);
    {
        Database db;
        std::string error;
        ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
        ASSERT_TRUE(db.RunText("UPDATE rollouts SET retry_pause_seconds = 0").Ok());
    }
    service.Rollouts().RefreshNow();
    std::vector<std::pair<int, std::string>> offered;
    for (int i = 0; i < 4; ++i) offered.emplace_back(i, CheckInFrom(client, i));
    for (const auto& [i, url] : offered) {
        ASSERT_FALSE(url.empty()) << i;
        for (const char* result : {"OK", "ARRANQUE_FALLIDO"}) {
            const auto res = client.Post("/apis/trevanto/v1/update-report", From("10." + std::to_string(i) + ".0.9"),
                                         Report(url, result, result == std::string("OK") ? "" : "ARRANQUE",
                                                result == std::string("OK") ? 0 : -1073741819),
                                         "application/json");
            ASSERT_TRUE(res && res->status == 200) << result;
        }
        if (i == 0) {
            // Put back: no offer again, although its retry pause is over and it reported once.
            service.Rollouts().RefreshNow();
            EXPECT_EQ(CheckInFrom(client, 0), "");
            EXPECT_EQ(Number(service, "SELECT put_back FROM rollout_installations WHERE failures = 1"), 1);
        }
    }
    const Rollout halted = Stored(service, rollout);
    EXPECT_EQ(halted.status, "DETENIDO");
    EXPECT_EQ(halted.haltReason.rfind("fallaron 3 de 3 instalaciones en la etapa 100 %", 0), 0u) << halted.haltReason;
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM update_reports WHERE resultado = 'ARRANQUE_FALLIDO'"
                              " AND paso_fallido = 'ARRANQUE' AND codigo_error = -1073741819"),
              4);
}
