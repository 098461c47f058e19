#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

#include "../service_fixture.h"
#include "service_settings.h"

namespace {

httplib::Headers WithKey(const std::string& key = "clave-de-prueba") {
    return {{"X-Api-Key", key}};
}

const char UpdateBody[] =
    R"({"Programa":"MarvekTijerales","version_anterior":"1.0.0.0","version_nueva":"1.0.0.1",)"
    R"("url_parche":"https://d.example/t.zip","resultado":"OK","codigo_error":0,"mensaje_error":"",)"
    R"("paso_fallido":"","duracion_segundos":12,"report_id":"a-b"})";

const char DepthError[] = R"({"error":"el cuerpo JSON tiene mas de 64 niveles de anidamiento"})";
// A check-in's body bound (every member at its own), as the refusal names it.
const size_t CheckInBytes = MaxBodyBytes(ReportKind::CheckIn);
const std::string TooLongError = R"({"error":"el cuerpo supera )" + std::to_string(CheckInBytes) + R"( bytes"})";

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
                                  "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
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

// SHA-256 of `bytes` as lower-case hex, computed by OpenSSL in one call.
std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// `text` with every "HOST" replaced by the vendor's download host.
std::string ForHost(std::string text) {
    for (size_t at; (at = text.find("HOST")) != std::string::npos;) text.replace(at, 4, service_settings::DownloadHost);
    return text;
}

// The check-in answer for the default document, parsed.
nlohmann::json CheckInAnswer(RunningService& service) {
    const auto res = service.Client().Post("/apis/trevanto/v1/checkin", WithKey(), R"({"Programa":"MarvekOlvo"})",
                                           "application/json");
    if (!res || res->status != 200) return nullptr;
    return nlohmann::json::parse(res->body, nullptr, false);
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

    const auto rows = service.Rows(ReportKind::CheckIn, 5);
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

    const auto updates = service.Rows(ReportKind::Update, 5);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].values.at("resultado"), "OK");
    EXPECT_EQ(updates[0].values.at("duracion_segundos"), "12");
    const auto acceptances = service.Rows(ReportKind::Acceptance, 5);
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

    EXPECT_TRUE(service.Rows(ReportKind::Update, 5).empty());
    EXPECT_TRUE(service.Rows(ReportKind::CheckIn, 5).empty());
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
    EXPECT_TRUE(service.Rows(ReportKind::Update, 5).empty());
}

TEST(ServiceHttp, DeeplyNestedBodyIs400AndTheServiceGoesOn) {
    TempDataFolder data;
    RunningService service(data.Root());
    httplib::Client client = service.Client();

    for (size_t depth : {CheckInBytes / 2 - 30, size_t{65}}) {
        const auto res = client.Post("/apis/trevanto/v1/checkin", WithKey(), Nested(depth), "application/json");
        ASSERT_TRUE(res) << depth;
        EXPECT_EQ(res->status, 400) << depth;
        EXPECT_EQ(res->body, DepthError) << depth;
    }
    EXPECT_TRUE(service.Rows(ReportKind::CheckIn, 5).empty());

    const auto res = client.Post("/apis/trevanto/v1/checkin", WithKey(), Nested(64), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, BuiltInDocument);
    const auto rows = service.Rows(ReportKind::CheckIn, 5);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].values.at("raw_body"), Nested(64));
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
    EXPECT_NE(LogOfLines(service, 1).find(" method=POST host=127.0.0.1 target=/apis/trevanto/v1/checkin status=401 in=0 "),
              std::string::npos);
    EXPECT_TRUE(service.Rows(ReportKind::CheckIn, 5).empty());
}

TEST(ServiceHttp, BodiesAreHeldToTheirRoutesBoundHoweverTheyAreSent) {
    TempDataFolder data;
    RunningService service(data.Root());
    const std::string path = "/apis/trevanto/v1/checkin";

    RawAnswer answer = PostChunked(service.Port(), path, "clave-de-prueba", CheckInOfSize(100));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, BuiltInDocument);
    answer = PostChunked(service.Port(), path, "clave-de-prueba", CheckInOfSize(CheckInBytes));
    EXPECT_EQ(answer.status, 200);
    // A body of unknown members gets no more room than one of every member at its bound.
    for (size_t size : {CheckInBytes + 1, size_t{2} * 1024 * 1024}) {
        answer = PostChunked(service.Port(), path, "clave-de-prueba", CheckInOfSize(size));
        EXPECT_EQ(answer.status, 413) << size;
        EXPECT_EQ(answer.body, TooLongError) << size;
        const auto res = service.Client().Post(path, WithKey(), CheckInOfSize(size), "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 413);
        EXPECT_EQ(res->body, TooLongError);
    }
    const auto rows = service.Rows(ReportKind::CheckIn, 5);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].values.at("raw_body"), CheckInOfSize(CheckInBytes));
    EXPECT_EQ(rows[1].values.at("raw_body"), CheckInOfSize(100));
    EXPECT_EQ(rows[1].values.at("Programa"), "MarvekOlvo");
    EXPECT_NE(LogOfLines(service, 5).find(" status=200 in=" + std::to_string(CheckInBytes) + " "), std::string::npos);
    // The service's own bound holds where it is the smaller one.
    ServiceOptions options;
    options.limits.bodyBytes = 1000;
    TempDataFolder other;
    RunningService small(other.Root(), options);
    answer = PostChunked(small.Port(), path, "clave-de-prueba", CheckInOfSize(1001));
    EXPECT_EQ(answer.status, 413);
    EXPECT_EQ(answer.body, R"({"error":"el cuerpo supera 1000 bytes"})");
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
    EXPECT_NE(log.find(" method=GET "), std::string::npos);
    EXPECT_NE(log.find(" target=/parches/7za.exe status=404 "), std::string::npos);
    EXPECT_NE(log.find(" target=/apis/trevanto/v1/update-report status=200 "), std::string::npos);
}

TEST(ServiceHttp, BehindATrustedBalancerTheClientIsTheLastAddressItsListsName) {
    TempDataFolder data;
    ServiceOptions options;
    options.trustedProxies = {"::ffff:127.0.0.1"};  // the same peer, as a dual-stack socket spells it
    RunningService service(data.Root(), options);
    // A balancer that adds a field of its own to the one the client wrote:
    // both are one list, read from its end.
    httplib::Headers headers = WithKey();
    headers.emplace("X-Forwarded-For", "203.0.113.66");
    headers.emplace("X-Forwarded-For", "2001:DB8:0::7");
    const auto res = service.Client().Post("/apis/trevanto/v1/update-report", headers, UpdateBody, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(LogOfLines(service, 1).find(" client=2001:db8::7 via=127.0.0.1 "), std::string::npos)
        << service.LogLines();
    const auto rows = service.Rows(ReportKind::Update, 5);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].values.at("client_address"), "2001:db8::7");
}

TEST(ServiceHttp, StaticFilesAnswerOneByteRange) {
    TempDataFolder data;
    std::string file(3 * 1024 * 1024, '\0');
    std::mt19937 random(7);
    for (char& byte : file) byte = static_cast<char>(random());
    data.Write("archivos/paquetes/grande.zip", file);
    RunningService service(data.Root());
    httplib::Client client = service.Client();
    const std::string total = std::to_string(file.size());

    auto res = client.Get("/paquetes/grande.zip");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");
    EXPECT_FALSE(res->has_header("Content-Range"));
    EXPECT_TRUE(res->body == file);

    for (size_t first : {size_t{0}, size_t{1}, size_t{1000003}, file.size() - 1}) {
        res = client.Get("/paquetes/grande.zip", {{"Range", "bytes=" + std::to_string(first) + "-"}});
        ASSERT_TRUE(res) << first;
        EXPECT_EQ(res->status, 206) << first;
        EXPECT_EQ(res->get_header_value("Content-Range"),
                  "bytes " + std::to_string(first) + "-" + std::to_string(file.size() - 1) + "/" + total);
        EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(file.size() - first));
        EXPECT_TRUE(res->body == file.substr(first)) << first;
    }
    res = client.Get("/paquetes/grande.zip", {{"Range", "bytes=100-199"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 206);
    EXPECT_EQ(res->get_header_value("Content-Range"), "bytes 100-199/" + total);
    EXPECT_TRUE(res->body == file.substr(100, 100));

    for (const std::string& range : {"bytes=" + total + "-", "bytes=" + std::to_string(file.size() + 5) + "-9999999"}) {
        res = client.Get("/paquetes/grande.zip", {{"Range", range}});
        ASSERT_TRUE(res) << range;
        EXPECT_EQ(res->status, 416) << range;
        EXPECT_EQ(res->get_header_value("Content-Range"), "bytes */" + total) << range;
    }
    // Several ranges and suffix ranges get the whole file.
    for (const char* range : {"bytes=0-1,5-6", "bytes=-100"}) {
        res = client.Get("/paquetes/grande.zip", {{"Range", range}});
        ASSERT_TRUE(res) << range;
        EXPECT_EQ(res->status, 200) << range;
        EXPECT_TRUE(res->body == file) << range;
    }
}

TEST(ServiceHttp, UpdateOffersForServedFilesCarryTheirSha256) {
    TempDataFolder data;
    data.Write("archivos/paquetes/p.zip", "abc");
    data.Write("notificaciones/default.json", ForHost(R"({"titulo": "T", "alertas": [
        {"tipo": "url_actualizar", "contenido": [
            {"enlace": "https://HOST/paquetes/p.zip"},
            {"enlace": "https://otro.example/paquetes/p.zip"},
            {"enlace": "https://HOST/paquetes/falta.zip"},
            {"enlace": "https://HOST/paquetes/p.zip", "sha256": "del documento"}]},
        {"tipo": "boton_unico", "contenido": [{"enlace": "https://HOST/paquetes/p.zip"}]}]})"));
    RunningService service(data.Root());

    nlohmann::json answer = CheckInAnswer(service);
    ASSERT_TRUE(answer.is_object());
    const nlohmann::json& cells = answer["alertas"][0]["contenido"];
    EXPECT_EQ(cells[0].value("sha256", ""), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(cells[1].contains("sha256"));
    EXPECT_FALSE(cells[2].contains("sha256"));
    EXPECT_EQ(cells[3].value("sha256", ""), "del documento");
    EXPECT_FALSE(answer["alertas"][1]["contenido"][0].contains("sha256"));

    // Same size, later mtime: the cached hash is not used again.
    const std::filesystem::path file = data.Root() + "/archivos/paquetes/p.zip";
    const auto before = std::filesystem::last_write_time(file);
    data.Write("archivos/paquetes/p.zip", "abd");
    std::filesystem::last_write_time(file, before + std::chrono::seconds(1));
    answer = CheckInAnswer(service);
    ASSERT_TRUE(answer.is_object());
    EXPECT_EQ(answer["alertas"][0]["contenido"][0].value("sha256", ""), Sha256Hex("abd"));

    // A new version of the document is read again, even of the same size.
    const std::string other = R"({"titulo": "U", "alertas": []})";
    data.Write("notificaciones/default.json", other);
    const auto res = service.Client().Post("/apis/trevanto/v1/checkin", WithKey(), R"({"Programa":"MarvekOlvo"})",
                                           "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, other);
}

TEST(ServiceHttp, CheckInDocumentsWithNothingToAddAreServedAsWritten) {
    const std::string host = service_settings::DownloadHost;
    const std::string documents[] = {
        "{ \"titulo\" : \"T\",\n \"alertas\": [{\"tipo\": \"url_actualizar\", \"contenido\": "
        "[{\"enlace\": \"https://otro.example/paquetes/p.zip\"}]}] }",
        "{\"alertas\": [{\"tipo\": \"url_actualizar\", \"contenido\": [{\"enlace\": \"https://" + host +
            "/paquetes/falta.zip\"}]}]}",
        "[{\"tipo\": \"url_actualizar\", \"contenido\": [{\"enlace\": \"https://" + host + "/paquetes/p.zip\"}]}]",
        "{\"alertas\": [{\"tipo\": \"url_actualizar\", \"contenido\": [{\"enlace\": \"https://" + host +
            "/paquetes/p.zip\"}]}",
    };
    for (const std::string& document : documents) {
        TempDataFolder data;
        data.Write("archivos/paquetes/p.zip", "abc");
        data.Write("notificaciones/default.json", document);
        RunningService service(data.Root());
        const auto res =
            service.Client().Post("/apis/trevanto/v1/checkin", WithKey(), R"({"Programa":"X"})", "application/json");
        ASSERT_TRUE(res) << document;
        EXPECT_EQ(res->body, document);
    }
}
