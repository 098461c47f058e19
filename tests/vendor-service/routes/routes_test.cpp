// The routes without any network: what each request is told before its
// body is read, and how static files are answered.
#include "routes/routes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../service_fixture.h"
#include "routes/static_files.h"

namespace {

Request Head(const std::string& method, const std::string& path, std::vector<HeaderField> headers = {},
             bool hasBody = false) {
    Request request;
    request.method = method;
    request.target = path;
    request.path = path;
    request.headers = std::move(headers);
    request.hasBody = hasBody;
    request.clientAddress = "10.0.0.9";
    return request;
}

std::string Header(const Response& response, const std::string& name) {
    return HeaderValue(response.headers, name);
}

}  // namespace

TEST(Routes, AdmissionDecidesBeforeAnyBodyIsRead) {
    RateLimiter rates(RateSettings{1, 2, 100});
    ServiceContext context;
    context.rates = &rates;
    context.apiKey = "clave";
    context.checkInPath = "/apis/trevanto/v1/checkin";
    const HeaderField key{"x-api-key", "clave"};

    struct Case {
        Request head;
        int status;
        bool close;
    };
    const Case refused[] = {
        {Head("PUT", "/apis/trevanto/v1/checkin", {key}, true), 405, true},
        {Head("DELETE", "/parches/7za.exe"), 405, false},
        {Head("POST", "/apis/trevanto/v1/otra", {key}, true), 404, true},
        {Head("POST", "/apis/trevanto/v1/checkin", {{"X-Api-Key", "otra"}}, true), 401, true},
        {Head("POST", "/apis/trevanto/v1/checkin", {{"X-Api-Key", "clav"}}), 401, false},
        {Head("GET", "/parches/7za.exe", {}, true), 400, true},
    };
    for (const Case& c : refused) {
        const Admission admission = AdmitRequest(context, c.head);
        EXPECT_TRUE(admission.refused) << c.head.method << " " << c.head.path;
        EXPECT_EQ(admission.refusal.status, c.status) << c.head.method << " " << c.head.path;
        EXPECT_EQ(admission.refusal.closeConnection, c.close) << c.head.method << " " << c.head.path;
    }
    EXPECT_EQ(Header(AdmitRequest(context, refused[0].head).refusal, "Allow"), "GET, HEAD, POST");

    // The two 401s above used this address's burst: the key is checked after
    // the rate, so guessing keys is rate limited too.
    const Admission limited = AdmitRequest(context, Head("POST", "/apis/trevanto/v1/update-report", {key}, true));
    EXPECT_EQ(limited.refusal.status, 429);
    EXPECT_EQ(Header(limited.refusal, "Retry-After"), "1");
    EXPECT_EQ(limited.refusal.body, R"({"error":"demasiadas peticiones"})");

    Request other = Head("POST", "/apis/trevanto/v1/rtf-acceptance", {key}, true);
    other.clientAddress = "10.0.0.10";
    const Admission taken = AdmitRequest(context, other);
    EXPECT_FALSE(taken.refused);
    EXPECT_TRUE(taken.readBody);
    EXPECT_FALSE(AdmitRequest(context, Head("GET", "/parches/7za.exe")).refused);
    EXPECT_FALSE(AdmitRequest(context, Head("HEAD", "/parches/7za.exe")).refused);

    EXPECT_TRUE(IsApiKey("clave", "clave"));
    EXPECT_FALSE(IsApiKey("clave ", "clave"));
    EXPECT_FALSE(IsApiKey("", "clave"));
}

TEST(Routes, StaticFilesNeverLeaveTheirFolderNorShowHiddenOnes) {
    TempDataFolder data;
    data.Write("archivos/paquetes/p.zip", "paquete");
    data.Write("archivos/paquetes/.git/config", "secreto");
    data.Write("archivos/paquetes/.oculto.zip", "secreto");
    data.Write("secreto.txt", "secreto");
    data.Write("fuera/p.zip", "secreto");
    const std::string root = data.Root();
    symlink((root + "/secreto.txt").c_str(), (root + "/archivos/paquetes/enlace.zip").c_str());
    symlink((root + "/fuera").c_str(), (root + "/archivos/paquetes/carpeta").c_str());
    mkfifo((root + "/archivos/paquetes/tubo.zip").c_str(), 0600);
    const DataFolder folder{root};

    const Response found = ServeStaticFile(folder, Head("GET", "/paquetes/p.zip"));
    EXPECT_EQ(found.status, 200);
    ASSERT_TRUE(found.file);
    EXPECT_EQ(found.fileLength, 7u);
    EXPECT_EQ(Header(found, "Content-Type"), "application/zip");
    for (const char* path : {"/paquetes/.git/config", "/paquetes/.oculto.zip", "/paquetes/enlace.zip",
                             "/paquetes/carpeta/p.zip", "/paquetes/tubo.zip", "/paquetes/../secreto.txt",
                             "/paquetes", "/paquetes/falta.zip"}) {
        const Response response = ServeStaticFile(folder, Head("GET", path));
        EXPECT_EQ(response.status, 404) << path;
        EXPECT_FALSE(response.file) << path;
    }
}

TEST(Routes, IfRangeResumesOnlyTheSameVersionOfAFile) {
    TempDataFolder data;
    data.Write("archivos/paquetes/p.zip", "0123456789");
    const DataFolder folder{data.Root()};
    const Response whole = ServeStaticFile(folder, Head("GET", "/paquetes/p.zip"));
    const std::string tag = Header(whole, "ETag");
    const std::string date = Header(whole, "Last-Modified");
    ASSERT_EQ(tag.front(), '"');
    ASSERT_EQ(date.size(), 29u);

    for (const std::string& validator : {std::string(), tag, date}) {
        const Response part =
            ServeStaticFile(folder, Head("GET", "/paquetes/p.zip", {{"Range", "bytes=4-"}, {"If-Range", validator}}));
        EXPECT_EQ(part.status, 206) << validator;
        EXPECT_EQ(part.fileOffset, 4u);
        EXPECT_EQ(part.fileLength, 6u);
        EXPECT_EQ(Header(part, "Content-Range"), "bytes 4-9/10");
    }
    // Replaced by a file of the same size and date: another version, so the
    // whole new file, never its tail joined to the old head.
    struct stat before = {};
    stat((data.Root() + "/archivos/paquetes/p.zip").c_str(), &before);
    data.Write("archivos/paquetes/nuevo.zip", "abcdefghij");
    std::filesystem::rename(data.Root() + "/archivos/paquetes/nuevo.zip", data.Root() + "/archivos/paquetes/p.zip");
    for (const std::string& validator : {tag, "W/" + tag, std::string("\"otra\""), std::string("Mon, 01 Jan 2001 00:00:00 GMT")}) {
        const Response again =
            ServeStaticFile(folder, Head("GET", "/paquetes/p.zip", {{"Range", "bytes=4-"}, {"If-Range", validator}}));
        EXPECT_EQ(again.status, 200) << validator;
        EXPECT_EQ(again.fileOffset, 0u);
        EXPECT_EQ(again.fileLength, 10u);
        EXPECT_EQ(Header(again, "Content-Range"), "");
    }
    EXPECT_NE(Header(ServeStaticFile(folder, Head("GET", "/paquetes/p.zip")), "ETag"), tag);
}
