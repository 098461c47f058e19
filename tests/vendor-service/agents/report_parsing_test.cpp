#include "agents/report_parsing.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const ColumnValue& Column(const ParsedReport& report, ReportKind kind, const std::string& name) {
    const auto& columns = ColumnsOf(kind);
    for (size_t i = 0; i < columns.size(); ++i) {
        if (name == columns[i].member) return report.columns[i];
    }
    static ColumnValue missing;
    ADD_FAILURE() << "no column " << name;
    return missing;
}

// An object whose member holds arrays nested so that the whole body is
// `depth` levels deep, after `prefix` members.
std::string Nested(size_t depth, const std::string& prefix = "") {
    return "{" + prefix + "\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

}  // namespace

TEST(ReportParsing, UpdateReportFillsEveryColumn) {
    const std::string body =
        R"({"Programa":"MarvekMesalto","version_anterior":"5.2.1.0","version_nueva":"6.0.3.17",)"
        R"("url_parche":"https://d.example/p/mesalto.exe","resultado":"OK","codigo_error":-2147024891,)"
        R"("mensaje_error":"","paso_fallido":"","duracion_segundos":61,)"
        R"("report_id":"0f8e2c1a-5b3d-4e6f-8a9b-0c1d2e3f4a5b"})";
    ParsedReport report;
    std::string error;
    ASSERT_TRUE(ParseReport(ReportKind::Update, body, report, error)) << error;
    ASSERT_EQ(report.columns.size(), 10u);
    EXPECT_EQ(Column(report, ReportKind::Update, "Programa").text, "MarvekMesalto");
    EXPECT_EQ(Column(report, ReportKind::Update, "version_nueva").text, "6.0.3.17");
    EXPECT_EQ(Column(report, ReportKind::Update, "resultado").text, "OK");
    EXPECT_EQ(Column(report, ReportKind::Update, "codigo_error").number, -2147024891LL);
    EXPECT_EQ(Column(report, ReportKind::Update, "duracion_segundos").number, 61);
    EXPECT_TRUE(Column(report, ReportKind::Update, "mensaje_error").present);
    EXPECT_EQ(Column(report, ReportKind::Update, "mensaje_error").text, "");
}

TEST(ReportParsing, CheckInKeepsUtf8AndLeavesOutMissingMembers) {
    const std::string body =
        "{\n  \"actualizador_version\": \"1.26.0803\",\n  \"Programa\": \"MarvekOlvo\",\n"
        "  \"Version\": \"No disponible\",\n  \"installed_path\": \"C:\\\\A\xc3\xb1o\\\\olvo.exe\"\n}";
    ParsedReport report;
    std::string error;
    ASSERT_TRUE(ParseReport(ReportKind::CheckIn, body, report, error)) << error;
    EXPECT_EQ(Column(report, ReportKind::CheckIn, "Programa").text, "MarvekOlvo");
    EXPECT_EQ(Column(report, ReportKind::CheckIn, "installed_path").text, "C:\\A\xc3\xb1o\\olvo.exe");
    EXPECT_FALSE(Column(report, ReportKind::CheckIn, "hostname").present);
    EXPECT_FALSE(Column(report, ReportKind::CheckIn, "last_update_at").present);
}

TEST(ReportParsing, UnknownResultCodesAndExtraMembersAreAccepted) {
    ParsedReport report;
    std::string error;
    ASSERT_TRUE(ParseReport(ReportKind::Update, R"({"Programa":"X","resultado":"INSTALACION_FALLIDA","extra":[1]})",
                            report, error));
    EXPECT_EQ(Column(report, ReportKind::Update, "resultado").text, "INSTALACION_FALLIDA");
}

TEST(ReportParsing, MalformedBodiesAreRejectedWithAReason) {
    ParsedReport report;
    std::string error;
    EXPECT_FALSE(ParseReport(ReportKind::Update, "{\"Programa\":", report, error));
    EXPECT_EQ(error, "el cuerpo no es un objeto JSON");
    EXPECT_FALSE(ParseReport(ReportKind::Acceptance, "[1,2]", report, error));
    EXPECT_FALSE(ParseReport(ReportKind::Acceptance, "", report, error));
    EXPECT_FALSE(ParseReport(ReportKind::Update, R"({"codigo_error":"5"})", report, error));
    EXPECT_EQ(error, "el miembro \"codigo_error\" debe ser un numero entero");
    EXPECT_FALSE(ParseReport(ReportKind::Update, R"({"duracion_segundos":1.5})", report, error));
    EXPECT_FALSE(ParseReport(ReportKind::Acceptance, R"({"rtf_url":7})", report, error));
    EXPECT_EQ(error, "el miembro \"rtf_url\" debe ser texto");
    EXPECT_FALSE(ParseReport(ReportKind::CheckIn, "{\"Programa\":\"\xff\xfe\"}", report, error));
    // An error code is 32 bits, as Windows writes it signed (HRESULT) or not.
    EXPECT_TRUE(ParseReport(ReportKind::Update, R"({"codigo_error":4294967295})", report, error));
    EXPECT_EQ(Column(report, ReportKind::Update, "codigo_error").number, 4294967295LL);
    EXPECT_TRUE(ParseReport(ReportKind::Update, R"({"codigo_error":-2147483648})", report, error));
    for (const char* beyond : {"4294967296", "-2147483649", "9223372036854775808", "18446744073709551615"}) {
        EXPECT_FALSE(ParseReport(ReportKind::Update, std::string(R"({"codigo_error":)") + beyond + "}", report, error));
        EXPECT_EQ(error, "el miembro \"codigo_error\" debe estar entre -2147483648 y 4294967295") << beyond;
    }
    EXPECT_FALSE(ParseReport(ReportKind::Update, R"({"duracion_segundos":2147483648})", report, error));
    EXPECT_EQ(error, "el miembro \"duracion_segundos\" debe estar entre -2147483648 y 2147483647");
    // A NUL inside a text member would cut the column as SQL sees it.
    EXPECT_FALSE(ParseReport(ReportKind::CheckIn, R"({"hostname":"pc\u0000-falso"})", report, error));
    EXPECT_EQ(error, "el miembro \"hostname\" contiene un caracter nulo");
    EXPECT_TRUE(ParseReport(ReportKind::CheckIn, R"({"extra":"a\u0000b","hostname":"pc"})", report, error));
    // A report_id is indexed: one far longer than a UUID would be refused by
    // the index at every try of its batch.
    EXPECT_TRUE(ParseReport(ReportKind::Update, "{\"report_id\":\"" + std::string(128, 'r') + "\"}", report, error));
    EXPECT_FALSE(ParseReport(ReportKind::Update, "{\"report_id\":\"" + std::string(129, 'r') + "\"}", report, error));
    EXPECT_EQ(error, "el miembro \"report_id\" supera los 128 bytes");
}

TEST(ReportParsing, EveryTextMemberIsBoundedAsWindowsBoundsIt) {
    const std::map<std::string, size_t> bounds = {
        {"actualizador_version", 23}, {"Programa", 64},        {"Version", 23},         {"version_anterior", 23},
        {"version_nueva", 23},        {"hostname", 255},       {"windows_version", 43}, {"installed_path", 1024},
        {"last_update_at", 63},       {"url_parche", 6249},    {"rtf_url", 6249},       {"resultado", 64},
        {"paso_fallido", 64},         {"mensaje_error", 2048}, {"report_id", 128},      {"acceptance_id", 128},
    };
    ParsedReport report;
    std::string error;
    size_t checked = 0;
    for (ReportKind kind : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        size_t bodyRoom = 0;
        for (const ReportColumn& column : ColumnsOf(kind)) {
            if (column.integer) continue;
            ASSERT_EQ(bounds.count(column.member), 1u) << column.member;
            const size_t bound = bounds.at(column.member);
            EXPECT_EQ(column.maxBytes, bound) << column.member;
            const auto body = [&column](size_t size) {
                return std::string("{\"") + column.member + "\":\"" + std::string(size, 'v') + "\"}";
            };
            EXPECT_TRUE(ParseReport(kind, body(bound), report, error)) << column.member << ": " << error;
            EXPECT_FALSE(ParseReport(kind, body(bound + 1), report, error)) << column.member;
            EXPECT_EQ(error, "el miembro \"" + std::string(column.member) + "\" supera los " + std::to_string(bound) +
                                 " bytes");
            bodyRoom += 2 * bound;
            ++checked;
        }
        // The body's bound: every member at its bound, escaped twice over, and the names.
        EXPECT_GT(MaxBodyBytes(kind), bodyRoom) << KindName(kind);
        EXPECT_LT(MaxBodyBytes(kind), bodyRoom + 2048) << KindName(kind);
    }
    EXPECT_EQ(checked, 18u);  // Programa in all three
    // A Windows version string of four 16-bit numbers fits; an agent's "No disponible" too.
    EXPECT_TRUE(ParseReport(ReportKind::CheckIn, R"({"Version":"65535.65535.65535.65535"})", report, error));
    EXPECT_TRUE(ParseReport(ReportKind::CheckIn, R"({"Version":"No disponible"})", report, error));
}

TEST(ReportParsing, NestingIsLimitedTo64Levels) {
    ParsedReport report;
    std::string error;
    ASSERT_TRUE(ParseReport(ReportKind::Update, Nested(64), report, error)) << error;
    for (size_t depth : {65, 100000}) {
        error.clear();
        EXPECT_FALSE(ParseReport(ReportKind::Update, Nested(depth), report, error)) << depth;
        EXPECT_EQ(error, "el cuerpo JSON tiene mas de 64 niveles de anidamiento") << depth;
    }
    // Brackets inside strings, after escaped quotes or backslashes, are text.
    const std::string brackets(100, '[');
    EXPECT_TRUE(ParseReport(ReportKind::Update, R"({"a":")" + brackets + R"("})", report, error)) << error;
    EXPECT_TRUE(ParseReport(ReportKind::Update, R"({"a":"\")" + brackets + R"("})", report, error)) << error;
    EXPECT_TRUE(ParseReport(ReportKind::Update, Nested(64, R"("a":"\\",)"), report, error)) << error;
    EXPECT_FALSE(ParseReport(ReportKind::Update, Nested(65, R"("a":"\\",)"), report, error));
}

TEST(ReportParsing, KindNames) {
    ReportKind kind = ReportKind::CheckIn;
    EXPECT_TRUE(KindFromName("update", kind));
    EXPECT_EQ(kind, ReportKind::Update);
    EXPECT_STREQ(TableOf(kind), "update_reports");
    EXPECT_FALSE(KindFromName("Update", kind));
}
