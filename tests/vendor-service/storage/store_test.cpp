#include "storage/store.h"

#include <gtest/gtest.h>

#include "../service_fixture.h"
#include "storage/layout.h"

namespace {

const char UpdateBody[] = R"({"Programa":"MarvekQuindel","resultado":"OK","codigo_error":-5,"duracion_segundos":3})";

Database Open(const std::string& target) {
    Database db;
    std::string error;
    if (!OpenDatabase(target, true, 1000, db, error)) ADD_FAILURE() << error;
    return db;
}

long long Number(const Database& db, const std::string& sql) {
    const SqlResult result = db.RunText(sql);
    return result.Ok() ? result.Number(-1) : -1;
}

std::string Exec(const std::string& target, const std::string& script) {
    Database db = Open(target);
    if (!db.IsOpen()) return "cannot open";
    return RunScript(db, script).error;
}

std::string SetLayoutSql(const Database& db, int version) {
    return db.dialect == Dialect::Sqlite ? "PRAGMA user_version = " + std::to_string(version)
                                         : "UPDATE trevanto_layout SET version = " + std::to_string(version);
}

}  // namespace

TEST(Store, RowsKeepEveryByteAndListNewestFirst) {
    TempDataFolder folder;
    TestStore store(folder.Root());
    const std::string raw = std::string(UpdateBody) + std::string("\0tail\xff", 6);
    PendingRow first = RowFromBody(ReportKind::Update, UpdateBody, "2026-12-08T10:00:00Z");
    first.rawBody = raw;
    const auto ids = CommitRowsNow(
        store.Target(),
        {first, RowFromBody(ReportKind::Update, R"({"Programa":"MarvekQuindel","resultado":"DESCARGA_FALLIDA"})",
                            "2026-12-08T10:00:01Z", "10.0.0.8")});
    EXPECT_EQ(ids, (std::vector<long long>{1, 2}));

    Database db = Open(store.Target());
    std::string error;
    const auto rows = LastRows(db, ReportKind::Update, 5, error);
    ASSERT_EQ(rows.size(), 2u) << error;
    EXPECT_EQ(rows[0].values.at("resultado"), "DESCARGA_FALLIDA");
    EXPECT_EQ(rows[0].values.at("codigo_error"), "");
    EXPECT_EQ(rows[0].values.at("client_address"), "10.0.0.8");
    EXPECT_EQ(rows[1].values.at("raw_body"), raw);
    EXPECT_EQ(rows[1].values.at("codigo_error"), "-5");
    EXPECT_EQ(rows[1].values.at("received_at"), "2026-12-08T10:00:00Z");
    EXPECT_EQ(rows[1].values.count("members"), 0u);
    EXPECT_EQ(LayoutVersion(db), CurrentLayout);
    if (db.dialect == Dialect::Sqlite) EXPECT_EQ(db.Run("PRAGMA journal_mode").rows.at(0).Text(0), "wal");
    EXPECT_TRUE(LastRows(db, ReportKind::Acceptance, 5, error).empty());

    // A report sent again, in a later batch or twice in one, is stored once
    // and answered with the first one's id; reports without an id each count.
    PendingRow named = RowFromBody(ReportKind::Update, R"({"Programa":"MarvekQuindel","report_id":"r-1"})",
                                   "2026-12-08T10:00:02Z");
    PendingRow unnamed = RowFromBody(ReportKind::Update, R"({"Programa":"MarvekQuindel","report_id":""})",
                                     "2026-12-08T10:00:03Z");
    EXPECT_EQ(CommitRowsNow(store.Target(), {named, unnamed}), (std::vector<long long>{3, 4}));
    named.rawBody += " ";
    const auto again = CommitRowsNow(store.Target(), {named, unnamed, named});
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0], 3);
    EXPECT_GT(again[1], 4);  // a refused copy may have used up an id
    EXPECT_EQ(again[2], 3);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM update_reports"), 5);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM update_reports WHERE report_id IS NULL"), 4);

    // Every instance of a shared store reads the secret the first one left.
    std::string secret;
    ASSERT_TRUE(SharedSecret(db, "primero", secret, error)) << error;
    EXPECT_EQ(secret, "primero");
    ASSERT_TRUE(SharedSecret(Open(store.Target()), "segundo", secret, error)) << error;
    EXPECT_EQ(secret, "primero");
}

TEST(Store, TheFirstLayoutIsUpgradedInPlaceAndOthersRefused) {
    TempDataFolder folder;
    TestStore store(folder.Root());
    Database db;
    std::string error;
    int exitCode = 0;
    if (!store.IsPostgres()) {
        // SQLite's first layout: every column, a JSON copy of the members, no version.
        const std::string legacy = folder.Root() + "/primera.db";
        ASSERT_EQ(Exec(legacy,
                       "CREATE TABLE checkins (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at TEXT NOT NULL,"
                       " client_address TEXT NOT NULL, raw_body BLOB NOT NULL, members TEXT NOT NULL,"
                       " actualizador_version TEXT, Programa TEXT, Version TEXT, hostname TEXT, windows_version TEXT,"
                       " installed_path TEXT, last_update_at TEXT);\n"
                       "INSERT INTO checkins (received_at, client_address, raw_body, members, Programa, hostname)"
                       " VALUES ('2025-01-01T00:00:00Z', '10.0.0.7', '{}', '{}', 'MarvekOlvo', 'pc1');\n"
                       "CREATE TABLE update_reports (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at TEXT NOT NULL,"
                       " client_address TEXT NOT NULL, raw_body BLOB NOT NULL, members TEXT NOT NULL, Programa TEXT,"
                       " version_anterior TEXT, version_nueva TEXT, url_parche TEXT, resultado TEXT,"
                       " codigo_error INTEGER, mensaje_error TEXT, paso_fallido TEXT, duracion_segundos INTEGER,"
                       " report_id TEXT);\n"
                       "INSERT INTO update_reports (received_at, client_address, raw_body, members, resultado,"
                       " report_id) VALUES ('a', '', '', '', 'OK', 'r-1'), ('b', '', '', '', 'OK', 'r-1'),"
                       " ('c', '', '', '', 'OK', NULL), ('d', '', '', '', 'OK', NULL), ('e', '', '', '', 'OK', 'r-2');\n"),
                  "");
        ASSERT_TRUE(OpenStore(legacy, db, error, exitCode)) << error;
        auto rows = LastRows(db, ReportKind::CheckIn, 5, error);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].values.at("hostname"), "pc1");
        EXPECT_EQ(rows[0].values.count("members"), 0u);
        // Copies of a report sent again went, the first of each kept.
        const SqlResult kept = db.Run("SELECT received_at FROM update_reports ORDER BY id");
        ASSERT_EQ(kept.rows.size(), 4u);
        EXPECT_EQ(kept.rows[0].Text(0) + kept.rows[1].Text(0) + kept.rows[2].Text(0) + kept.rows[3].Text(0), "acde");
        EXPECT_EQ(LayoutVersion(db), CurrentLayout);
        db.close();
        // Opening it again changes nothing more.
        ASSERT_TRUE(OpenStore(legacy, db, error, exitCode)) << error;
        EXPECT_EQ(LastRows(db, ReportKind::CheckIn, 5, error).size(), 1u);
        db.close();

        // A table without a column of the layout is refused, and left as it was.
        const std::string partial = folder.Root() + "/parcial.db";
        ASSERT_EQ(Exec(partial,
                       "CREATE TABLE update_reports (id INTEGER PRIMARY KEY, received_at TEXT, client_address TEXT,"
                       " raw_body BLOB, Programa TEXT)"),
                  "");
        EXPECT_FALSE(OpenStore(partial, db, error, exitCode));
        EXPECT_EQ(exitCode, 2);
        EXPECT_EQ(error, "table update_reports has no column \"version_anterior\"");
        Database left = Open(partial);
        EXPECT_EQ(LayoutVersion(left), 0);
        EXPECT_EQ(Number(left, "SELECT COUNT(*) FROM sqlite_master WHERE name='checkins'"), 0);

        EXPECT_FALSE(OpenStore("/no/existe/carpeta/servicio.db", db, error, exitCode));
        EXPECT_EQ(exitCode, 1);
    }

    // A release stored under layout 3 (no signatures yet) is kept as unsigned
    // by the step to layout 4, on both stores.
    ASSERT_TRUE(OpenDatabase(store.Target(), true, 5000, db, error)) << error;
    ASSERT_EQ(PrepareLayout(db, error, 3), LayoutOutcome::Ready) << error;
    ASSERT_EQ(RunScript(db,
                        "INSERT INTO releases (product, version, url, size, sha256, created_at)"
                        " VALUES ('MarvekOlvo', '2.0', 'https://d/p.zip', 7, 'ab', '2026-01-01T00:00:00Z');\n")
                  .error,
              "");
    ASSERT_EQ(PrepareLayout(db, error, 4), LayoutOutcome::Ready) << error;
    const SqlResult upgraded = db.Run("SELECT product, signature FROM releases");
    ASSERT_EQ(upgraded.rows.size(), 1u) << upgraded.error;
    EXPECT_EQ(upgraded.rows[0].Text(0) + "|" + upgraded.rows[0].Text(1), "MarvekOlvo|");

    // Layout 4 to 5: installations keep when they were first seen (to the
    // millisecond) and start with one day seen, or two when their sightings
    // are a day apart; a rollout keeps its start; the outcomes counted
    // before (without networks) are kept apart, and the stages count anew.
    ASSERT_EQ(
        RunScript(db,
                  "INSERT INTO installations (id, product, client_address, first_seen, last_seen,"
                  " last_seen_unix, checkins) VALUES ('a', 'MarvekOlvo', '10.0.0.1', '2026-01-01T00:00:00Z',"
                  " '2026-01-01T05:00:00Z', 1767243600, 2), ('b', 'MarvekOlvo', '10.0.0.2',"
                  " '2026-01-01T00:00:00Z', '2026-01-03T00:00:00Z', 1767398400, 9);\n"
                  "INSERT INTO rollouts (release_id, status, stages, stage_started_unix, min_outcomes,"
                  " max_failures, max_failure_rate, soak_seconds, auto_advance, retry_pause_seconds,"
                  " max_attempts, created_at, updated_at) VALUES (1, 'EN_CURSO', '1,100', 1767225600, 20, 0,"
                  " 0.1, 3600, 1, 86400, 3, '2026-01-01T00:00:00Z', '2026-01-01T00:00:00Z');\n"
                  "INSERT INTO rollout_stage_counts (rollout_id, stage, outcomes, failures) VALUES (1, 0, 7, 2);\n")
            .error,
        "");
    ASSERT_EQ(PrepareLayout(db, error, 5), LayoutOutcome::Ready) << error;
    const SqlResult seen =
        db.Run("SELECT id, first_seen_ms, days_seen, last_seen_day, network FROM installations ORDER BY id");
    ASSERT_EQ(seen.rows.size(), 2u) << seen.error;
    EXPECT_EQ(seen.rows[0].Int(1), 1767225600000);
    EXPECT_EQ(seen.rows[0].Int(2) * 10 + seen.rows[1].Int(2), 12);
    EXPECT_EQ(seen.rows[1].Int(3), 1767398400 / 86400);
    EXPECT_EQ(seen.rows[0].Text(4), "");  // an old first sighting is past any day's bound anyway
    // Layout 5 to 6: a release from before statements is kept as unstated.
    ASSERT_EQ(PrepareLayout(db, error, 6), LayoutOutcome::Ready) << error;
    const SqlResult unstated = db.Run("SELECT product, statement, statement_signature FROM releases");
    ASSERT_EQ(unstated.rows.size(), 1u) << unstated.error;
    EXPECT_EQ(unstated.rows[0].Text(0) + "|" + unstated.rows[0].Text(1) + "|" + unstated.rows[0].Text(2), "MarvekOlvo||");
    Rollout rollout;
    ASSERT_TRUE(LoadRollout(db, 1, rollout, error)) << error;
    EXPECT_EQ(rollout.startedMs, 1767225600000);
    EXPECT_EQ((std::vector<int>{rollout.settings.minNetworks, rollout.settings.networkWeight,
                                rollout.settings.minAgeDays, rollout.settings.minDaysSeen}),
              (std::vector<int>{3, 5, 0, 0}));
    const StageCounts counts = LoadStageCounts(db, 1, 0);
    EXPECT_EQ((std::vector<int>{counts.outcomes, counts.failures, counts.uncountedOutcomes, counts.uncountedFailures}),
              (std::vector<int>{0, 0, 7, 2}));
    // Layout 6 to 7: no installation was put back yet. 7 to 8: an operator from before roles keeps doing
    // everything, and nothing is acknowledged or retried yet.
    ASSERT_EQ(RunScript(db, "INSERT INTO operators (name, salt, hash, iterations, created_at)"
                            " VALUES ('ana', 's', 'h', 1, '2026-01-01T00:00:00Z');\n")
                  .error,
              "");
    ASSERT_EQ(PrepareLayout(db, error, 7), LayoutOutcome::Ready) << error;
    EXPECT_EQ(Number(db, "SELECT COUNT(put_back) FROM rollout_installations"), 0);
    ASSERT_EQ(PrepareLayout(db, error, 8), LayoutOutcome::Ready) << error;
    const SqlResult roles = db.RunText("SELECT name, role FROM operators");
    ASSERT_EQ(roles.rows.size(), 1u) << roles.error;
    EXPECT_EQ(roles.rows[0].Text(0) + "|" + roles.rows[0].Text(1), "ana|administrador");
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM rollout_stage_counts WHERE acknowledged_failures = 0"), 1);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM webhook_deliveries"), 0);
    db.close();
    ASSERT_TRUE(OpenStore(store.Target(), db, error, exitCode)) << error;
    EXPECT_EQ(LayoutVersion(db), CurrentLayout);

    // A layout from a later service is refused, by both stores.
    ASSERT_EQ(RunScript(db, SetLayoutSql(db, 99)).error, "");
    db.close();
    EXPECT_FALSE(OpenStore(store.Target(), db, error, exitCode));
    EXPECT_EQ(exitCode, 2);
    EXPECT_EQ(error, "layout 99 is newer than this service's (" + std::to_string(CurrentLayout) + ")");
}

TEST(Store, MaintenanceDropsRowsPastRetentionThenHoldsTheSize) {
    TempDataFolder folder;
    TestStore store(folder.Root());
    std::vector<PendingRow> rows;
    // Padding that does not compress, so that either store holds about 2 KB a row.
    std::string padding;
    unsigned int seed = 7;
    for (int i = 0; i < 2000; ++i) padding += "0123456789abcdef"[(seed = seed * 1103515245u + 12345u) >> 28];
    for (int i = 0; i < 2500; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "20%02d-01-01T00:00:00Z", i < 500 ? 10 : 30 + i / 1000);
        rows.push_back(RowFromBody(ReportKind::CheckIn, R"({"Programa":"MarvekOlvo","relleno":")" + padding + "\"}",
                                   time));
    }
    rows.push_back(RowFromBody(ReportKind::Update, UpdateBody, "2010-06-01T00:00:00Z"));
    CommitRowsNow(store.Target(), rows);

    StoreSettings settings;
    settings.target = store.Target();
    settings.retentionDays = 365;
    settings.rowsPerMaintenanceStep = 300;
    Database db = Open(store.Target());
    const uint64_t full = UsedBytes(db);
    // The 2,500 rows of about 2 KB each, whatever way the store counts them.
    EXPECT_GT(full, 2500u * 2000u);
    EXPECT_LT(full, 2500u * 6000u);
    settings.maxBytes = full / 2;  // about 1,000 of the 2,000 recent rows fit
    StoreBackend backend = MakeStoreBackend(settings);
    std::string error;
    ASSERT_TRUE(backend.connect(error)) << error;
    int steps = 0;
    while (backend.maintain() && steps < 100) ++steps;
    EXPECT_LT(steps, 100);
    // The 500 check-ins and the report from 2010 went by retention; then the
    // oldest recent rows until the used size was under 90 % of the limit.
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM checkins WHERE received_at < '2020'"), 0);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM update_reports"), 0);
    // Trimming stopped within one step of 90 % of the limit.
    const uint64_t used = UsedBytes(db);
    EXPECT_LE(used, settings.maxBytes / 10 * 9);
    EXPECT_GT(used + settings.rowsPerMaintenanceStep * 4096, settings.maxBytes / 10 * 9);
    const long long left = Number(db, "SELECT COUNT(*) FROM checkins");
    EXPECT_GT(left, 700);
    EXPECT_LT(left, 1200);
    EXPECT_EQ(Number(db, "SELECT MAX(id) FROM checkins"), 2500);  // the newest stay
    backend.disconnect();
}

// Under a flood of made-up installations the store keeps what is worth
// keeping: their rows go first, then the oldest of the rest, never the
// reports or installations a rollout that still decides counts; and
// installations not seen for the retention go.
TEST(Store, TrimmingTakesWhatHasNoHistoryFirstAndNeverWhatARolloutCounts) {
    TempDataFolder folder;
    TestStore store(folder.Root());
    CommitRowsNow(store.Target(), {});
    Database db = Open(store.Target());
    std::string padding;
    unsigned int seed = 11;
    for (int i = 0; i < 2000; ++i) padding += "0123456789abcdef"[(seed = seed * 1103515245u + 12345u) >> 28];
    ASSERT_TRUE(Begin(db).Ok());
    ASSERT_EQ(RunScript(db, "INSERT INTO releases (product, version, url, size, sha256, created_at)"
                            " VALUES ('MarvekOlvo', '2.0', 'https://d/p.zip', 7, 'ab', 'hoy');\n"
                            "INSERT INTO rollouts (release_id, status, stages, stage_started_unix, min_outcomes,"
                            " max_failures, max_failure_rate, soak_seconds, auto_advance, retry_pause_seconds,"
                            " max_attempts, created_at, updated_at) VALUES (1, 'EN_CURSO', '100', 0, 20, 0, 0.1, 0, 1,"
                            " 0, 3, 'hoy', 'hoy'), (1, 'DETENIDO', '100', 0, 20, 0, 0.1, 0, 1, 0, 3, 'hoy', 'hoy');\n")
                  .error,
              "");
    const auto add = [&](const std::string& sql, const std::vector<SqlValue>& values) {
        const SqlResult result = db.RunText(sql, values);
        ASSERT_TRUE(result.Ok()) << result.error;
    };
    // Oldest first: 200 reports the running rollout counts, 200 of the
    // halted one, 200 check-ins of the real fleet; then 1,000 check-ins and
    // 300 installations made up, the newest of all.
    int second = 0;
    const auto at = [&second] {
        char text[32];
        std::snprintf(text, sizeof text, "2026-01-01T%02d:%02d:%02dZ", second / 3600, second / 60 % 60, second % 60);
        ++second;
        return std::string(text);
    };
    for (int rollout : {1, 2}) {
        for (int i = 0; i < 200; ++i) {
            add("INSERT INTO update_reports (received_at, client_address, raw_body, rollout_id, installation_id)"
                " VALUES (?1, '10.0.0.1', ?2, ?3, ?4)",
                {Text(at()), Blob(padding), Int(rollout), Text("real-" + std::to_string(i))});
        }
    }
    for (int i = 0; i < 200; ++i) {
        add("INSERT INTO checkins (received_at, client_address, raw_body) VALUES (?1, '10.0.0.1', ?2)",
            {Text(at()), Blob(padding)});
    }
    for (int i = 0; i < 300; ++i) {
        const std::string id = (i < 100 ? "real-" : "falsa-") + std::to_string(i);
        add("INSERT INTO installations (id, product, client_address, first_seen, last_seen, last_seen_unix,"
            " first_seen_ms, days_seen, hostname) VALUES (?1, 'MarvekOlvo', '10.0.0.1', 'hoy', 'hoy', ?2, 1, ?3, ?4)",
            {Text(id), Int(i < 80 ? 1000 : 2000000000), Int(i < 100 ? 5 : 1), Text(padding)});
    }
    for (int i = 0; i < 50; ++i) {  // the running rollout counts the first 50 real installations
        add("INSERT INTO rollout_installations (rollout_id, installation_id, stage, place, first_offered_at,"
            " last_offered_at, counted) VALUES (1, ?1, 0, 0, 'hoy', 'hoy', 1)",
            {Text("real-" + std::to_string(i))});
    }
    for (int i = 0; i < 1000; ++i) {
        add("INSERT INTO checkins (received_at, client_address, raw_body, without_history) VALUES (?1, '10.9.0.1', ?2, 1)",
            {Text(at()), Blob(padding)});
    }
    ASSERT_TRUE(Commit(db).Ok());

    StoreSettings settings;
    settings.target = store.Target();
    settings.retentionDays = 36500;
    settings.rowsPerMaintenanceStep = 100;
    const uint64_t full = UsedBytes(db);
    settings.maxBytes = full / 3;  // a third of it: the junk and more must go
    StoreBackend backend = MakeStoreBackend(settings);
    std::string error;
    ASSERT_TRUE(backend.connect(error)) << error;
    int steps = 0;
    while (backend.maintain() && steps < 200) ++steps;
    EXPECT_LT(steps, 200);
    EXPECT_LE(UsedBytes(db), settings.maxBytes / 10 * 9);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM checkins WHERE without_history = 1"), 0);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM installations WHERE days_seen < 2"), 0);
    // Then the oldest the rollouts do not count: the halted rollout's reports first.
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM update_reports WHERE rollout_id = 1"), 200);
    EXPECT_LT(Number(db, "SELECT COUNT(*) FROM update_reports WHERE rollout_id = 2"), 200);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM installations WHERE id IN (SELECT installation_id FROM"
                         " rollout_installations)"), 50);

    // Installations not seen for the retention go, unless a deciding rollout counts them.
    settings.retentionDays = 1;
    settings.maxBytes = full * 2;
    StoreBackend retention = MakeStoreBackend(settings);
    ASSERT_TRUE(retention.connect(error)) << error;
    while (retention.maintain() && steps < 400) ++steps;
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM installations WHERE last_seen_unix = 1000"), 50);
    EXPECT_EQ(Number(db, "SELECT COUNT(*) FROM installations WHERE last_seen_unix = 1000 AND id NOT IN"
                         " (SELECT installation_id FROM rollout_installations)"), 0);
    backend.disconnect();
    retention.disconnect();
}

TEST(Store, AnotherWritersLockIsBusyAndAChangedStoreFails) {
    TempDataFolder folder;
    TestStore store(folder.Root());
    CommitRowsNow(store.Target(), {});
    StoreSettings settings;
    settings.target = store.Target();
    StoreBackend backend = MakeStoreBackend(settings);
    std::string error;
    ASSERT_TRUE(backend.connect(error)) << error;
    const PendingRow row = RowFromBody(ReportKind::Update, UpdateBody, "2026-12-08T10:00:00Z");
    std::vector<long long> ids;

    Database other = Open(store.Target());
    if (other.dialect == Dialect::Sqlite) {
        ASSERT_TRUE(other.Run("BEGIN EXCLUSIVE").Ok());
        EXPECT_EQ(backend.commit({&row}, ids, error), CommitResult::Busy);
        ASSERT_TRUE(other.Run("COMMIT").Ok());
    } else {
        // Another instance holding the table past the lock wait: busy, not failed.
        ASSERT_TRUE(other.Run("BEGIN").Ok());
        ASSERT_TRUE(other.Run("LOCK TABLE update_reports IN EXCLUSIVE MODE").Ok());
        EXPECT_EQ(backend.commit({&row}, ids, error), CommitResult::Busy) << error;
        ASSERT_TRUE(other.Run("COMMIT").Ok());
    }
    EXPECT_EQ(backend.commit({&row}, ids, error), CommitResult::Committed) << error;
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_EQ(Number(other, "SELECT COUNT(*) FROM update_reports"), 1);

    // A commit says whether the rows were kept: PostgreSQL keeps nothing of a
    // transaction in which a statement failed, SQLite keeps the others.
    ASSERT_TRUE(Begin(other).Ok());
    ASSERT_TRUE(other.Run("INSERT INTO update_reports (received_at, client_address, raw_body) VALUES ('t', 'a', 'b')").Ok());
    EXPECT_FALSE(other.Run("SELECT COUNT(*) FROM no_such_table").Ok());
    const SqlResult committed = Commit(other);
    EXPECT_EQ(committed.Ok(), Number(other, "SELECT COUNT(*) FROM update_reports") == 2) << committed.error;
    if (!committed.Ok()) Rollback(other);

    // A store that turned into something else fails, not busy.
    backend.disconnect();
    ASSERT_EQ(RunScript(other, SetLayoutSql(other, 77)).error, "");
    EXPECT_FALSE(backend.connect(error));
    EXPECT_EQ(error, "the database has a layout this service cannot use: layout 77 is newer than this service's (" +
                         std::to_string(CurrentLayout) + ")");
    if (store.IsPostgres()) return;
    // A missing SQLite database is made on the first connection.
    settings.target = folder.Root() + "/nueva.db";
    StoreBackend fresh = MakeStoreBackend(settings);
    ASSERT_TRUE(fresh.connect(error)) << error;
    EXPECT_EQ(fresh.commit({&row}, ids, error), CommitResult::Committed);
    fresh.disconnect();
}
