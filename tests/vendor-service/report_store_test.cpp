#include "report_store.h"

#include <gtest/gtest.h>

TEST(ReportStore, InsertsAndListsNewestFirst) {
    ReportStore store;
    std::string error;
    ASSERT_TRUE(store.Open(":memory:", error)) << error;
    for (const char* result : {"OK", "DESCARGA_FALLIDA"}) {
        ParsedReport report;
        ASSERT_TRUE(ParseReport(ReportKind::Update,
                                std::string(R"({"Programa":"MarvekQuindel","resultado":")") + result +
                                    R"(","codigo_error":-5,"duracion_segundos":3})",
                                report, error));
        EXPECT_GT(store.Insert(ReportKind::Update, "2026-12-08T10:00:00Z", "127.0.0.1", "{raw}", report, error), 0)
            << error;
    }
    const std::vector<StoredRow> rows = store.Last(ReportKind::Update, 5, error);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].values.at("resultado"), "DESCARGA_FALLIDA");
    EXPECT_EQ(rows[1].values.at("resultado"), "OK");
    EXPECT_EQ(rows[0].values.at("codigo_error"), "-5");
    EXPECT_EQ(rows[0].values.at("version_nueva"), "");
    EXPECT_EQ(rows[0].values.at("raw_body"), "{raw}");
    EXPECT_EQ(rows[0].values.at("client_address"), "127.0.0.1");
    EXPECT_EQ(store.Last(ReportKind::Update, 1, error).size(), 1u);
    EXPECT_TRUE(store.Last(ReportKind::Acceptance, 5, error).empty());
}

TEST(ReportStore, RawBodyKeepsEveryByte) {
    ReportStore store;
    std::string error;
    ASSERT_TRUE(store.Open(":memory:", error));
    ParsedReport report;
    ASSERT_TRUE(ParseReport(ReportKind::Acceptance, R"({"Programa":"A"})", report, error));
    const std::string raw = std::string("{\"Programa\":\"A\"}\0tail", 21);
    ASSERT_GT(store.Insert(ReportKind::Acceptance, "t", "c", raw, report, error), 0);
    EXPECT_EQ(store.Last(ReportKind::Acceptance, 1, error)[0].values.at("raw_body"), raw);
}

TEST(ReportStore, UnwritableLocationFailsToOpen) {
    ReportStore store;
    std::string error;
    EXPECT_FALSE(store.Open("/no/existe/carpeta/servicio.db", error));
    EXPECT_FALSE(error.empty());
}
