#include <gtest/gtest.h>

#include "service_fixture.h"

namespace {

httplib::Headers WithKey(const std::string& key = "clave-de-prueba") {
    return {{"X-Api-Key", key}};
}

const char UpdateBody[] =
    R"({"Programa":"MarvekTijerales","version_anterior":"1.0.0.0","version_nueva":"1.0.0.1",)"
    R"("url_parche":"https://d.example/t.zip","resultado":"OK","codigo_error":0,"mensaje_error":"",)"
    R"("paso_fallido":"","duracion_segundos":12,"report_id":"a-b"})";

}  // namespace

TEST(ServiceHttp, CheckInStoresAndAnswersTheProductsDocument) {
    TempDataFolder data;
    data.Write("notificaciones/MarvekMesalto.json", R"({"titulo":"Para Mesalto","alertas":[]})");
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    const std::string body =
        "{\n  \"actualizador_version\": \"1.26.0803\",\n  \"Programa\": \"MarvekMesalto\",\n"
        "  \"Version\": \"5.2.1.0\"\n}";
    const auto res = client.Post("/apis/trevanto/v1/checkin", WithKey(), body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"titulo":"Para Mesalto","alertas":[]})");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");

    std::string error;
    const auto rows = service.Store().Last(ReportKind::CheckIn, 5, error);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].values.at("Programa"), "MarvekMesalto");
    EXPECT_EQ(rows[0].values.at("Version"), "5.2.1.0");
    EXPECT_EQ(rows[0].values.at("raw_body"), body);
    EXPECT_EQ(rows[0].values.at("client_address"), "127.0.0.1");
    EXPECT_EQ(rows[0].values.at("received_at").size(), 20u);
}

TEST(ServiceHttp, ReportsAreStoredWithTheirColumns) {
    TempDataFolder data;
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    auto res = client.Post("/apis/trevanto/v1/update-report", WithKey(), UpdateBody, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"ok":true,"id":1})");
    res = client.Post("/apis/trevanto/v1/rtf-acceptance", WithKey(),
                      R"({"Programa":"MarvekOlvo","rtf_url":"https://d.example/t.rtf","acceptance_id":"x"})",
                      "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    std::string error;
    const auto updates = service.Store().Last(ReportKind::Update, 5, error);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].values.at("resultado"), "OK");
    EXPECT_EQ(updates[0].values.at("duracion_segundos"), "12");
    const auto acceptances = service.Store().Last(ReportKind::Acceptance, 5, error);
    ASSERT_EQ(acceptances.size(), 1u);
    EXPECT_EQ(acceptances[0].values.at("rtf_url"), "https://d.example/t.rtf");
}

TEST(ServiceHttp, WrongOrMissingApiKeyIs401AndStoresNothing) {
    TempDataFolder data;
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    auto res = client.Post("/apis/trevanto/v1/update-report", WithKey("otra"), UpdateBody, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->body, R"({"error":"API key no valida"})");
    res = client.Post("/apis/trevanto/v1/checkin", UpdateBody, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    res = client.Get("/apis/trevanto/v1/agente-version?version=1");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);

    std::string error;
    EXPECT_TRUE(service.Store().Last(ReportKind::Update, 5, error).empty());
    EXPECT_TRUE(service.Store().Last(ReportKind::CheckIn, 5, error).empty());
}

TEST(ServiceHttp, MalformedBodyIs400WithJsonError) {
    TempDataFolder data;
    RunningService service(data.Root());
    httplib::Client client = service.Client();
    for (const char* body : {"", "{", "[]", R"({"codigo_error":"cero"})", "\xff\xfe"}) {
        const auto res = client.Post("/apis/trevanto/v1/update-report", WithKey(), body, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << body;
        EXPECT_EQ(res->body.rfind("{\"error\":\"", 0), 0u) << res->body;
    }
    std::string error;
    EXPECT_TRUE(service.Store().Last(ReportKind::Update, 5, error).empty());
}

TEST(ServiceHttp, AgentVersionOffersUrlOnlyToOlderAgents) {
    TempDataFolder data;
    data.Write("agente.json", R"({"version":"1.26.0900","url":"https://d.example/agente/trevanto.exe"})");
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    auto res = client.Get("/apis/trevanto/v1/agente-version?version=1.26.0803", WithKey());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"version":"1.26.0900","url":"https://d.example/agente/trevanto.exe"})");
    res = client.Get("/apis/trevanto/v1/agente-version?version=1.26.0900", WithKey());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, R"({"version":"1.26.0900"})");
}

TEST(ServiceHttp, StaticFilesAreStreamedAndConfinedToTheirFolders) {
    TempDataFolder data;
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
    data.Write("archivos/paquetes/mesalto.zip", big);
    data.Write("archivos/parches/7za.exe", "MZ");
    data.Write("servicio_secreto.txt", "secreto");
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    auto res = client.Get("/paquetes/mesalto.zip");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, big);
    EXPECT_EQ(res->get_header_value("Content-Length"), "300000");
    res = client.Get("/parches/7za.exe");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "MZ");

    for (const char* path : {"/parches/no.exe", "/parches/../../servicio_secreto.txt", "/servicio_secreto.txt",
                             "/paquetes/", "/archivos/parches/7za.exe"}) {
        res = client.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
        EXPECT_EQ(res->body.find("secreto"), std::string::npos);
    }
}

TEST(ServiceHttp, LogsOneLinePerRequest) {
    TempDataFolder data;
    RunningService service(data.Root());
    httplib::Client client = service.Client();
    client.Get("/parches/7za.exe");
    client.Post("/apis/trevanto/v1/update-report", WithKey(), UpdateBody, "application/json");
    // The logger may run just after the answer has gone out.
    std::string log;
    for (int i = 0; i < 200 && std::count(log.begin(), log.end(), '\n') < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = service.LogLines();
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    EXPECT_NE(log.find(" GET "), std::string::npos);
    EXPECT_NE(log.find("/parches/7za.exe 404"), std::string::npos);
    EXPECT_NE(log.find("/apis/trevanto/v1/update-report 200"), std::string::npos);
}
