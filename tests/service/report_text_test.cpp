#include "service/report_text.h"

#include <gtest/gtest.h>

namespace {

InstallationIdentity Mesalto() {
    InstallationIdentity identity;
    identity.productKey = "MarvekMesalto";
    identity.productVersion = "5.2.1.0";
    identity.exeName = "mesalto.exe";
    identity.settingsKey = "SOFTWARE\\VB and VBA Program Settings\\Marvek Mesalto\\Opciones";
    return identity;
}

}  // namespace

TEST(UpdateReportBody, OneLineInMemberOrder) {
    UpdateOutcome outcome{"OK", 0, "", ""};
    EXPECT_EQ(UpdateReportBody(Mesalto(), "6.0.3.17", "https://d.example/p/mesalto.exe", outcome, 61,
                               "0f8e2c1a-5b3d-4e6f-8a9b-0c1d2e3f4a5b"),
              R"({"Programa":"MarvekMesalto","version_anterior":"5.2.1.0","version_nueva":"6.0.3.17",)"
              R"("url_parche":"https://d.example/p/mesalto.exe","resultado":"OK","codigo_error":0,)"
              R"("mensaje_error":"","paso_fallido":"","duracion_segundos":61,)"
              R"("report_id":"0f8e2c1a-5b3d-4e6f-8a9b-0c1d2e3f4a5b"})");
}

TEST(UpdateReportBody, NegativeCodesAndEscapedUrl) {
    UpdateOutcome outcome{"DESCARGA_FALLIDA", static_cast<std::int32_t>(0x80070005u), "DownloadUrlBytes_URL fallo",
                          "DESCARGA"};
    const std::string body = UpdateReportBody(Mesalto(), "", "https://d.example/a\"b\\c", outcome, 0, "id");
    EXPECT_NE(body.find(R"("codigo_error":-2147024891,)"), std::string::npos);
    EXPECT_NE(body.find(R"("url_parche":"https://d.example/a\"b\\c",)"), std::string::npos);
    EXPECT_NE(body.find(R"("version_nueva":"",)"), std::string::npos);
    EXPECT_EQ(body.find(' ', body.find("DownloadUrlBytes_URL fallo") + 30), std::string::npos);
}

TEST(UpdateReportBody, EmptyUrlStillReported) {
    UpdateOutcome outcome{"URL_VACIA", 0, "URL vacia", "URL_VACIA"};
    EXPECT_EQ(UpdateReportBody(Mesalto(), "", "", outcome, 0, "x"),
              R"({"Programa":"MarvekMesalto","version_anterior":"5.2.1.0","version_nueva":"","url_parche":"",)"
              R"("resultado":"URL_VACIA","codigo_error":0,"mensaje_error":"URL vacia","paso_fallido":"URL_VACIA",)"
              R"("duracion_segundos":0,"report_id":"x"})");
}

TEST(AcceptanceReportBody, ThreeMembers) {
    EXPECT_EQ(AcceptanceReportBody(Mesalto(), "https://d.example/t.rtf", "abc"),
              R"({"Programa":"MarvekMesalto","rtf_url":"https://d.example/t.rtf","acceptance_id":"abc"})");
}

TEST(DurationSeconds, DropsTheRemainder) {
    EXPECT_EQ(DurationSeconds(1000, 1000 + 61999), 61);
    EXPECT_EQ(DurationSeconds(5000, 5999), 0);
    EXPECT_EQ(DurationSeconds(0x100000000ull, 0x100000000ull + 2000), 2);
}

TEST(ReportId, VersionAndVariantBitsInPlace) {
    EXPECT_EQ(ReportIdFromWords({0x03020100u, 0x07060504u, 0x0B0A0908u, 0x0F0E0D0Cu}),
              "00010203-0405-4607-8809-0a0b0c0d0e0f");
    const std::string allOnes = ReportIdFromWords({~0u, ~0u, ~0u, ~0u});
    EXPECT_EQ(allOnes, "ffffffff-ffff-4fff-bfff-ffffffffffff");
    const std::string zeros = ReportIdFromWords({0, 0, 0, 0});
    EXPECT_EQ(zeros, "00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(zeros.size(), 36u);
    EXPECT_EQ(zeros[14], '4');
}

TEST(CheckInResponseText, BodyEmptyBodyOrErrorObject) {
    EXPECT_EQ(CheckInResponseText(true, "{\"alertas\":[]}\n", ""), "{\"alertas\":[]}\n");
    EXPECT_EQ(CheckInResponseText(true, "", ""), R"({"error":"Respuesta vacia del servidor"})");
    EXPECT_EQ(CheckInResponseText(false, "<html>404</html>", "HTTP 404"), R"({"error":"HTTP 404"})");
    EXPECT_EQ(CheckInResponseText(false, "", "a\"b\\c"), R"({"error":"a\"b\\c"})");
}
