#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "service_fixture.h"

namespace {

httplib::Headers WithKey(const std::string& key = "clave-de-prueba") {
    return {{"X-Api-Key", key}};
}

const char UpdateBody[] =
    R"({"Programa":"MarvekTijerales","version_anterior":"1.0.0.0","version_nueva":"1.0.0.1",)"
    R"("url_parche":"https://d.example/t.zip","resultado":"OK","codigo_error":0,"mensaje_error":"",)"
    R"("paso_fallido":"","duracion_segundos":12,"report_id":"a-b"})";

const char DepthError[] = R"({"error":"el cuerpo JSON tiene mas de 64 niveles de anidamiento"})";
const char TooLongError[] = R"({"error":"el cuerpo supera 1 MB"})";

// A check-in body of exactly `size` bytes (at least 40).
std::string CheckInOfSize(size_t size) {
    const std::string head = R"({"Programa":"MarvekOlvo","relleno":")";
    return head + std::string(size - head.size() - 2, 'a') + "\"}";
}

// An object `depth` levels deep.
std::string Nested(size_t depth) {
    return R"({"Programa":"MarvekOlvo","x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

struct RawAnswer {
    int status = 0;
    std::string body;
    size_t bodySent = 0;  // bytes of the request body the connection took
};

bool SendAll(int socket, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Posts a body with Transfer-Encoding: chunked, in 64 KB chunks, over a
// plain socket whose small send buffer soon stalls when the service stops
// reading. Sending stops when the service closes the connection; the answer
// is read up to the close.
RawAnswer PostChunked(int port, const std::string& path, const std::string& key, const std::string& body) {
    RawAnswer answer;
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    const int bufferSize = 64 * 1024;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    const timeval timeout = {30, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    bool open = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                SendAll(sock, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Api-Key: " + key +
                                  "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
    for (size_t offset = 0; open && offset < body.size(); offset += 65536) {
        const std::string piece = body.substr(offset, 65536);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        open = SendAll(sock, size + piece + "\r\n");
        if (open) answer.bodySent += piece.size();
    }
    if (open) SendAll(sock, "0\r\n\r\n");
    std::string response;
    char buffer[4096];
    for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<size_t>(n));
    close(sock);
    const size_t bodyStart = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.1 ", 0) != 0 || bodyStart == std::string::npos) return answer;
    answer.status = std::atoi(response.c_str() + 9);
    answer.body = response.substr(bodyStart + 4);
    return answer;
}

// The log once it has `count` lines (the logger may run just after the
// answer has gone out).
std::string LogOfLines(RunningService& service, long count) {
    std::string log;
    for (int i = 0; i < 200 && std::count(log.begin(), log.end(), '\n') < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = service.LogLines();
    }
    return log;
}

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

TEST(ServiceHttp, DeeplyNestedBodyIs400AndTheServiceGoesOn) {
    TempDataFolder data;
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    for (size_t depth : {100000, 65}) {
        const auto res = client.Post("/apis/trevanto/v1/checkin", WithKey(), Nested(depth), "application/json");
        ASSERT_TRUE(res) << depth;
        EXPECT_EQ(res->status, 400) << depth;
        EXPECT_EQ(res->body, DepthError) << depth;
    }
    std::string error;
    EXPECT_TRUE(service.Store().Last(ReportKind::CheckIn, 5, error).empty());

    const auto res = client.Post("/apis/trevanto/v1/checkin", WithKey(), Nested(64), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, BuiltInDocument);
    const auto rows = service.Store().Last(ReportKind::CheckIn, 5, error);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].values.at("raw_body"), Nested(64));
    EXPECT_EQ(rows[0].values.at("members"), Nested(64));
}

TEST(ServiceHttp, ChunkedBodyWithAWrongKeyIsRefusedUnread) {
    TempDataFolder data;
    RunningService service(data.Root());

    const std::string body = CheckInOfSize(32 * 1024 * 1024);
    const RawAnswer answer = PostChunked(service.Port(), "/apis/trevanto/v1/checkin", "otra", body);
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(answer.body, R"({"error":"API key no valida"})");
    // The service closed the connection instead of taking the whole body.
    EXPECT_LT(answer.bodySent, body.size());
    EXPECT_NE(LogOfLines(service, 1).find(" POST 127.0.0.1/apis/trevanto/v1/checkin 401 0B\n"), std::string::npos);
    std::string error;
    EXPECT_TRUE(service.Store().Last(ReportKind::CheckIn, 5, error).empty());
}

TEST(ServiceHttp, BodiesAreHeldTo1MBHoweverTheyAreSent) {
    TempDataFolder data;
    RunningService service(data.Root());
    const std::string path = "/apis/trevanto/v1/checkin";

    RawAnswer answer = PostChunked(service.Port(), path, "clave-de-prueba", CheckInOfSize(100));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, BuiltInDocument);
    answer = PostChunked(service.Port(), path, "clave-de-prueba", CheckInOfSize(1024 * 1024));
    EXPECT_EQ(answer.status, 200);
    for (size_t size : {1024 * 1024 + 1, 2 * 1024 * 1024}) {
        answer = PostChunked(service.Port(), path, "clave-de-prueba", CheckInOfSize(size));
        EXPECT_EQ(answer.status, 413) << size;
        EXPECT_EQ(answer.body, TooLongError) << size;
    }
    const auto res = service.Client().Post(path, WithKey(), CheckInOfSize(2 * 1024 * 1024), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    EXPECT_EQ(res->body, TooLongError);

    std::string error;
    const auto rows = service.Store().Last(ReportKind::CheckIn, 5, error);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].values.at("raw_body"), CheckInOfSize(1024 * 1024));
    EXPECT_EQ(rows[1].values.at("raw_body"), CheckInOfSize(100));
    EXPECT_EQ(rows[1].values.at("Programa"), "MarvekOlvo");
    EXPECT_NE(LogOfLines(service, 5).find(" 200 1048576B\n"), std::string::npos);
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
    for (const char* version : {"1.26.0900", "1.26.900", "1.27.1"}) {
        res = client.Get(std::string("/apis/trevanto/v1/agente-version?version=") + version, WithKey());
        ASSERT_TRUE(res) << version;
        EXPECT_EQ(res->body, R"({"version":"1.26.0900"})") << version;
    }
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
    const std::string log = LogOfLines(service, 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    EXPECT_NE(log.find(" GET "), std::string::npos);
    EXPECT_NE(log.find("/parches/7za.exe 404"), std::string::npos);
    EXPECT_NE(log.find("/apis/trevanto/v1/update-report 200"), std::string::npos);
}
