#include "storage/sqlite_store.h"

#include <gtest/gtest.h>

#include "../service_fixture.h"
#include "storage/sqlite_layout.h"

namespace {

const char UpdateBody[] = R"({"Programa":"MarvekQuindel","resultado":"OK","codigo_error":-5,"duracion_segundos":3})";

long long Count(sqlite3* db, const std::string& table) {
    return SqliteNumber(db, "SELECT COUNT(*) FROM " + table, -1);
}

std::string Exec(const std::string& path, const std::string& sql) {
    SqliteConnection db;
    std::string error;
    if (!db.Open(path, true, 1000, error) || !SqliteExec(db.Get(), sql, error)) return error;
    return "";
}

}  // namespace

TEST(SqliteStore, RowsKeepEveryByteAndListNewestFirst) {
    TempDataFolder folder;
    const std::string path = folder.Root() + "/s.db";
    const std::string raw = std::string(UpdateBody) + std::string("\0tail", 5);
    PendingRow first = RowFromBody(ReportKind::Update, UpdateBody, "2026-12-08T10:00:00Z");
    first.rawBody = raw;
    const auto ids = CommitRowsNow(
        path, {first, RowFromBody(ReportKind::Update, R"({"Programa":"MarvekQuindel","resultado":"DESCARGA_FALLIDA"})",
                                  "2026-12-08T10:00:01Z", "10.0.0.8")});
    EXPECT_EQ(ids, (std::vector<long long>{1, 2}));

    SqliteConnection db;
    std::string error;
    ASSERT_TRUE(db.Open(path, false, 1000, error)) << error;
    const auto rows = LastRows(db.Get(), ReportKind::Update, 5, error);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].values.at("resultado"), "DESCARGA_FALLIDA");
    EXPECT_EQ(rows[0].values.at("codigo_error"), "");
    EXPECT_EQ(rows[0].values.at("client_address"), "10.0.0.8");
    EXPECT_EQ(rows[1].values.at("raw_body"), raw);
    EXPECT_EQ(rows[1].values.at("codigo_error"), "-5");
    EXPECT_EQ(rows[1].values.at("received_at"), "2026-12-08T10:00:00Z");
    EXPECT_EQ(rows[1].values.count("members"), 0u);
    SqliteStatement mode(db.Get(), "PRAGMA journal_mode");
    ASSERT_EQ(sqlite3_step(mode.Get()), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(mode.Get(), 0)), "wal");
    EXPECT_EQ(SqliteNumber(db.Get(), "PRAGMA user_version", -1), CurrentSqliteLayout);
    EXPECT_TRUE(LastRows(db.Get(), ReportKind::Acceptance, 5, error).empty());
}

TEST(SqliteStore, TheFirstLayoutIsUpgradedInPlaceAndOthersRefused) {
    TempDataFolder folder;
    // The first layout: every column, a JSON copy of the members, no version.
    const std::string legacy = folder.Root() + "/primera.db";
    ASSERT_EQ(Exec(legacy,
                   "CREATE TABLE checkins (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at TEXT NOT NULL,"
                   " client_address TEXT NOT NULL, raw_body BLOB NOT NULL, members TEXT NOT NULL,"
                   " actualizador_version TEXT, Programa TEXT, Version TEXT, hostname TEXT, windows_version TEXT,"
                   " installed_path TEXT, last_update_at TEXT);"
                   "INSERT INTO checkins (received_at, client_address, raw_body, members, Programa, hostname)"
                   " VALUES ('2025-01-01T00:00:00Z', '10.0.0.7', '{}', '{}', 'MarvekOlvo', 'pc1');"),
              "");
    SqliteConnection db;
    std::string error;
    int exitCode = 0;
    ASSERT_TRUE(OpenSqliteStore(legacy, db, error, exitCode)) << error;
    auto rows = LastRows(db.Get(), ReportKind::CheckIn, 5, error);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].values.at("hostname"), "pc1");
    EXPECT_EQ(rows[0].values.count("members"), 0u);
    EXPECT_EQ(Count(db.Get(), "update_reports"), 0);
    EXPECT_EQ(SqliteNumber(db.Get(), "PRAGMA user_version", -1), CurrentSqliteLayout);
    db.Close();
    // Opening it again changes nothing more.
    ASSERT_TRUE(OpenSqliteStore(legacy, db, error, exitCode)) << error;
    EXPECT_EQ(LastRows(db.Get(), ReportKind::CheckIn, 5, error).size(), 1u);
    db.Close();

    // A table without a column of the layout is refused, and left as it was.
    const std::string partial = folder.Root() + "/parcial.db";
    ASSERT_EQ(Exec(partial,
                   "CREATE TABLE update_reports (id INTEGER PRIMARY KEY, received_at TEXT, client_address TEXT,"
                   " raw_body BLOB, Programa TEXT)"),
              "");
    EXPECT_FALSE(OpenSqliteStore(partial, db, error, exitCode));
    EXPECT_EQ(exitCode, 2);
    EXPECT_EQ(error, "table update_reports has no column \"version_anterior\"");
    EXPECT_EQ(SqliteNumber(db.Get(), "PRAGMA user_version", -1), 0);
    EXPECT_EQ(SqliteNumber(db.Get(), "SELECT COUNT(*) FROM sqlite_master WHERE name='checkins'", -1), 0);
    db.Close();

    // A layout from a later service is refused.
    const std::string later = folder.Root() + "/posterior.db";
    ASSERT_EQ(Exec(later, "PRAGMA user_version = 99"), "");
    EXPECT_FALSE(OpenSqliteStore(later, db, error, exitCode));
    EXPECT_EQ(exitCode, 2);
    EXPECT_EQ(error, "layout 99 is newer than this service's (" + std::to_string(CurrentSqliteLayout) + ")");

    EXPECT_FALSE(OpenSqliteStore("/no/existe/carpeta/servicio.db", db, error, exitCode));
    EXPECT_EQ(exitCode, 1);
}

TEST(SqliteStore, MaintenanceDropsRowsPastRetentionThenHoldsTheSize) {
    TempDataFolder folder;
    const std::string path = folder.Root() + "/s.db";
    std::vector<PendingRow> rows;
    const std::string padding(2000, 'x');
    for (int i = 0; i < 2500; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "20%02d-01-01T00:00:00Z", i < 500 ? 10 : 30 + i / 1000);
        PendingRow row = RowFromBody(ReportKind::CheckIn, R"({"Programa":"MarvekOlvo","relleno":")" + padding + "\"}",
                                     time);
        rows.push_back(std::move(row));
    }
    rows.push_back(RowFromBody(ReportKind::Update, UpdateBody, "2010-06-01T00:00:00Z"));
    CommitRowsNow(path, rows);

    SqliteStoreSettings settings;
    settings.path = path;
    settings.retentionDays = 365;
    settings.rowsPerMaintenanceStep = 300;
    SqliteConnection db;
    std::string error;
    ASSERT_TRUE(db.Open(path, false, 1000, error));
    settings.maxBytes = SqliteUsedBytes(db.Get()) / 2;  // about 1,000 of the 2,000 recent rows fit
    StoreBackend backend = SqliteBackend(settings);
    ASSERT_TRUE(backend.connect(error)) << error;
    int steps = 0;
    while (backend.maintain() && steps < 100) ++steps;
    EXPECT_LT(steps, 100);
    // The 500 check-ins and the report from 2010 went by retention; then the
    // oldest recent rows until the used size was under 90 % of the limit.
    EXPECT_EQ(SqliteNumber(db.Get(), "SELECT COUNT(*) FROM checkins WHERE received_at < '2020'", -1), 0);
    EXPECT_EQ(Count(db.Get(), "update_reports"), 0);
    // Trimming stopped within one step of 90 % of the limit (a row takes
    // less than a page here).
    const uint64_t used = SqliteUsedBytes(db.Get());
    EXPECT_LE(used, settings.maxBytes / 10 * 9);
    EXPECT_GT(used + settings.rowsPerMaintenanceStep * 4096, settings.maxBytes / 10 * 9);
    EXPECT_GT(Count(db.Get(), "checkins"), 0);
    EXPECT_EQ(SqliteNumber(db.Get(), "SELECT MAX(id) FROM checkins", -1), 2500);  // the newest stay
    backend.disconnect();
}

TEST(SqliteStore, AnotherProcessesLockIsBusyAndDiskErrorsFail) {
    TempDataFolder folder;
    const std::string path = folder.Root() + "/s.db";
    CommitRowsNow(path, {});
    SqliteStoreSettings settings;
    settings.path = path;
    StoreBackend backend = SqliteBackend(settings);
    std::string error;
    ASSERT_TRUE(backend.connect(error));
    const PendingRow row = RowFromBody(ReportKind::Update, UpdateBody, "2026-12-08T10:00:00Z");
    std::vector<long long> ids;

    SqliteConnection other;
    ASSERT_TRUE(other.Open(path, false, 0, error));
    ASSERT_TRUE(SqliteExec(other.Get(), "BEGIN EXCLUSIVE", error)) << error;
    EXPECT_EQ(backend.commit({&row}, ids, error), CommitResult::Busy);
    ASSERT_TRUE(SqliteExec(other.Get(), "COMMIT", error));
    EXPECT_EQ(backend.commit({&row}, ids, error), CommitResult::Committed);
    EXPECT_EQ(ids, std::vector<long long>{1});

    // A database file that turned into something else fails, not busy.
    backend.disconnect();
    ASSERT_EQ(Exec(path, "PRAGMA user_version = 77"), "");
    EXPECT_FALSE(backend.connect(error));
    EXPECT_EQ(error, "the database has a layout this service cannot use: layout 77 is newer than this service's (" +
                         std::to_string(CurrentSqliteLayout) + ")");
    // A missing database is made on the first connection.
    settings.path = folder.Root() + "/nueva.db";
    StoreBackend fresh = SqliteBackend(settings);
    ASSERT_TRUE(fresh.connect(error)) << error;
    EXPECT_EQ(fresh.commit({&row}, ids, error), CommitResult::Committed);
    fresh.disconnect();
}
