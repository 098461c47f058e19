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

}  // namespace

TEST(RolloutService, OffersGoToTheStageAndEveryStepIsTiedToTheOffer) {
    TempDataFolder data;
    data.Write("archivos/paquetes/mesalto_6.0.3.17.zip", "paquete");
    data.Write("notificaciones/default.json", R"({"titulo":"T","alertas":[{"tipo":"solo_mensaje","contenido":[]}]})");
    RunningService service(data.Root());
    const long long rollout = StartRollout(service, {10, 100}, 5, 0, 0.5);
    httplib::Client client = service.Client();

    std::vector<std::pair<std::string, std::string>> offered;  // host, address
    for (int i = 0; i < 300; ++i) {
        const std::string host = "PC-" + std::to_string(i);
        const auto res = client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn(host, "5.2.1.0"), "application/json");
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
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM rollouts WHERE status = 'EN_CURSO'"), 1);
}

TEST(RolloutService, ConcurrentFailuresHaltTheRolloutOnceAtItsThreshold) {
    TempDataFolder data;
    RunningService service(data.Root());
    const long long rollout = StartRollout(service, {100}, 1, 3, 1.0);
    std::vector<std::string> urls;
    httplib::Client client = service.Client();
    for (int i = 0; i < 12; ++i) {
        const auto res = client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn("pc" + std::to_string(i), "5.2.1.0"),
                                     "application/json");
        ASSERT_TRUE(res);
        urls.push_back(OfferIn(res->body));
        ASSERT_NE(urls.back(), "");
    }
    // Twelve failures at once, from twelve connections.
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (const std::string& url : urls) {
        threads.emplace_back([&, url] {
            httplib::Client own = service.Client();
            const auto res = own.Post("/apis/trevanto/v1/update-report", Key(),
                                      Report(url, "INSTALACION_FALLIDA", "MOVER_EXE_NUEVO", 32), "application/json");
            if (res && res->status == 200) ++answered;
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
    EXPECT_EQ(halted.haltReason, "3 instalaciones fallaron en esta etapa (limite: 3)");
    EXPECT_EQ(Number(service, "SELECT COUNT(*) FROM rollout_events WHERE event = 'detenido'"), 1);
    EXPECT_EQ(Number(service, "SELECT SUM(failures) FROM rollout_installations"), 12);
    // Halted: from the very next check-in on, no one is offered it.
    const auto res = client.Post("/apis/trevanto/v1/checkin", Key(), CheckIn("pc-nuevo", "5.2.1.0"), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(OfferIn(res->body), "");
}
