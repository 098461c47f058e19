#include "storage/store_copy.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "../service_fixture.h"
#include "storage/layout.h"

namespace {

using Dump = std::vector<std::map<std::string, std::optional<std::string>>>;

// A SQLite store as a vendor's grows it: every table, ids with gaps, more
// installations than one read takes, a body with bytes no text holds.
constexpr char Rows[] = R"sql(
INSERT INTO releases (id, product, version, url, size, sha256, created_at)
  VALUES (4, 'MarvekMesalto', '6.0.3.17', 'https://descargas.marvek.example/paquetes/m.zip', 16384, 'ab12', '2026-12-01T10:00:00Z');
INSERT INTO rollouts (id, release_id, status, target_versions, stages, current_stage, stage_started_unix, min_outcomes,
  max_failures, max_failure_rate, soak_seconds, auto_advance, retry_pause_seconds, max_attempts, halt_reason,
  created_at, updated_at)
  VALUES (9, 4, 'DETENIDO', '5.2.1.0', '1,10,50,100', 1, 1765000000, 20, 0, 0.1, 3600, 1, 86400, 3,
  'fallos: 3 de 20 (15 %) DESCARGAR 12029', '2026-12-01T10:00:00Z', '2026-12-02T10:00:00Z');
INSERT INTO installations (id, product, hostname, client_address, program_version, first_seen, last_seen,
  last_seen_unix, checkins)
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500)
  SELECT 'inst-' || i, 'MarvekMesalto', CASE WHEN i = 7 THEN NULL ELSE 'PC-' || i END, '10.0.0.' || (i % 250),
  '5.2.1.0', '2026-12-01T10:00:00Z', '2026-12-02T10:00:00Z', 1765000000 + i, i FROM n;
INSERT INTO rollout_installations (rollout_id, installation_id, stage, place, first_offered_at, last_offered_at,
  offers, failures, last_step, last_code)
  VALUES (9, 'inst-1', 0, 0.25, '2026-12-01T10:00:00Z', '2026-12-01T11:00:00Z', 2, 1, 'DESCARGAR', 12029),
         (9, 'inst-2', 1, 7.5, '2026-12-01T10:00:00Z', '2026-12-01T10:00:00Z', 1, 0, NULL, NULL);
INSERT INTO rollout_stage_counts (rollout_id, stage, outcomes, failures, weighted_outcomes, weighted_failures,
  networks, failed_networks, uncounted_outcomes, uncounted_failures, acknowledged_failures)
  VALUES (9, 0, 20, 3, 17.5, 2.25, 12, 3, 40, 9, 1.5);
INSERT INTO rollout_hours (rollout_id, hour, outcomes, failures, oks) VALUES (9, 490300, 20, 3, 17);
INSERT INTO rollout_failure_groups (rollout_id, step, code, reports, first_at, last_at, message)
  VALUES (9, 'DESCARGAR', 12029, 3, '2026-12-01T10:00:00Z', '2026-12-02T10:00:00Z', 'sin red');
INSERT INTO audit_log (id, at, actor, action, target, detail)
  VALUES (6, '2026-12-02T10:00:00Z', 'ana', 'despliegue detenido', 'despliegue 9', 'fallos');
INSERT INTO api_tokens (id, name, token_hash, scope, created_by, created_at)
  VALUES (2, 'integración', 'ab', 'publicar', 'ana', '2026-12-01T10:00:00Z');
INSERT INTO webhooks (id, url, secret, events, created_by, created_at)
  VALUES (3, 'https://avisos.marvek.example/', 's', 'despliegue.detenido', 'ana', '2026-12-01T10:00:00Z');
INSERT INTO webhook_deliveries (id, webhook_id, event, rollout_id, body, created_at, created_ms, state, attempts,
  next_attempt_ms)
  VALUES (8, 3, 'despliegue.detenido', 9, '{}', '2026-12-02T10:00:00Z', 1764669600000, 'PENDIENTE', 1, 1764669601000);
INSERT INTO webhook_attempts (id, delivery_id, at, status, error, ms)
  VALUES (4, 8, '2026-12-02T10:00:00Z', 0, 'conectar: Connection refused', 3);
INSERT INTO rollout_stage_networks (rollout_id, stage, network, outcomes, failures)
  VALUES (9, 0, '10.0.0.0/24', 8, 1), (9, 0, '2001:db8:abcd::/48', 1, 1);
INSERT INTO rollout_events (id, rollout_id, at, event, detail) VALUES (2, 9, '2026-12-02T10:00:00Z', 'DETENIDO', 'fallos');
INSERT INTO operators (name, salt, hash, iterations, created_at) VALUES ('ana', 'c0ffee', 'beef', 210000, '2026-12-01');
INSERT INTO checkins (id, received_at, client_address, raw_body, "Programa", hostname, installation_id)
  VALUES (7, '2026-12-02T10:00:00Z', '10.0.0.1', X'7B2200FF22', 'MarvekMesalto', 'PC-1 ñandú', 'inst-1'),
         (3000, '2026-12-02T10:00:01Z', '10.0.0.2', X'7B7D', NULL, 'PC-2', 'inst-2');
INSERT INTO update_reports (id, received_at, client_address, raw_body, resultado, codigo_error, report_id, rollout_id)
  VALUES (5, '2026-12-02T10:00:00Z', '10.0.0.1', X'7B7D', 'DESCARGA_FALLIDA', -12029, 'r-1', 9);
INSERT INTO acceptance_reports (id, received_at, client_address, raw_body, rtf_url)
  VALUES (1, '2026-12-02T10:00:00Z', '10.0.0.1', X'7B7D', 'https://x/terminos.rtf');
INSERT INTO sessions (token_hash, operator, csrf, expires_unix) VALUES ('t', 'ana', 'c', 1900000000);
INSERT INTO service_secret (name, value) VALUES ('ofertas', 'secreto-copiado-0123456789abcdef0123');
)sql";

const std::map<std::string, std::string> KeyOf = {{"releases", "id"},
                                                  {"rollouts", "id"},
                                                  {"installations", "id"},
                                                  {"rollout_installations", "rollout_id, installation_id"},
                                                  {"rollout_stage_counts", "rollout_id, stage"},
                                                  {"rollout_stage_networks", "rollout_id, stage, network"},
                                                  {"rollout_events", "id"},
                                                  {"operators", "name"},
                                                  {"rollout_hours", "rollout_id, hour"},
                                                  {"rollout_failure_groups", "rollout_id, step, code"},
                                                  {"audit_log", "id"},
                                                  {"api_tokens", "id"},
                                                  {"webhooks", "id"},
                                                  {"webhook_deliveries", "id"},
                                                  {"webhook_attempts", "id"},
                                                  {"checkins", "id"},
                                                  {"update_reports", "id"},
                                                  {"acceptance_reports", "id"},
                                                  {"sessions", "token_hash"},
                                                  {"service_secret", "name"}};

Database Opened(const std::string& target) {
    Database db;
    std::string error;
    int exitCode = 0;
    if (!OpenStore(target, db, error, exitCode)) ADD_FAILURE() << target << ": " << error;
    return db;
}

// Every row of a table by column name, in key order.
Dump DumpOf(const Database& db, const std::string& table) {
    const SqlResult result = db.RunText("SELECT * FROM " + table + " ORDER BY " + KeyOf.at(table));
    EXPECT_TRUE(result.Ok()) << result.error;
    Dump dump;
    for (const SqlRow& row : result.rows) {
        auto& named = dump.emplace_back();
        for (size_t c = 0; c < result.columns.size(); ++c) {
            named[result.columns[c]] = row.IsNull(c) ? std::nullopt : std::optional<std::string>(row.values[c]);
        }
    }
    return dump;
}

long long Count(const Database& db, const std::string& table) {
    return db.RunText("SELECT COUNT(*) FROM " + table).Number(-1);
}

// The grown SQLite file, and an empty store of the kind the suite runs on.
struct Stores {
    TempDataFolder folder;
    TestStore target{folder.Root()};
    Database from = Opened(folder.Root() + "/pequena.db");
    Database to = Opened(target.Target());
};

}  // namespace

TEST(StoreCopy, EveryRowArrivesAsItWasAndTheNumberingGoesOnAfterIt) {
    const Stores stores;
    const Database &from = stores.from, &to = stores.to;
    ASSERT_EQ(RunScript(from, Rows).error, "");

    std::vector<CopiedTable> copied;
    bool refused = true;
    std::string error;
    ASSERT_TRUE(CopyStore(from, to, copied, refused, error)) << error;
    EXPECT_FALSE(refused);
    std::vector<std::pair<std::string, long long>> counts;
    for (const CopiedTable& table : copied) counts.emplace_back(table.table, table.rows);
    const std::vector<std::pair<std::string, long long>> expected = {{"releases", 1},
                                                                     {"rollouts", 1},
                                                                     {"installations", 2500},
                                                                     {"rollout_installations", 2},
                                                                     {"rollout_stage_counts", 1},
                                                                     {"rollout_stage_networks", 2},
                                                                     {"rollout_hours", 1},
                                                                     {"rollout_failure_groups", 1},
                                                                     {"rollout_events", 1},
                                                                     {"operators", 1},
                                                                     {"audit_log", 1},
                                                                     {"api_tokens", 1},
                                                                     {"webhooks", 1},
                                                                     {"webhook_deliveries", 1},
                                                                     {"webhook_attempts", 1},
                                                                     {"checkins", 2},
                                                                     {"update_reports", 1},
                                                                     {"acceptance_reports", 1},
                                                                     {"service_secret", 1}};
    EXPECT_EQ(counts, expected);
    for (const auto& [table, rows] : expected) {
        const Dump copy = DumpOf(to, table), original = DumpOf(from, table);
        EXPECT_TRUE(copy == original) << table << ": " << copy.size() << " rows, " << original.size() << " in the source";
    }
    EXPECT_EQ(DumpOf(to, "checkins")[0].at("raw_body"), std::string("{\"\0\xff\"", 5));
    EXPECT_EQ(Count(to, "sessions"), 0);  // operators log in again

    // New rows are numbered after the copied ones.
    const SqlResult added = to.RunText(
        "INSERT INTO checkins (received_at, client_address, raw_body) VALUES ('2026-12-03T10:00:00Z', '10.0.0.3', ?1)"
        " RETURNING id",
        {Blob("{}")});
    EXPECT_EQ(added.Number(-1), 3001) << added.error;
    EXPECT_EQ(to.RunText("INSERT INTO rollout_events (rollout_id, at, event) VALUES (9, 'x', 'y') RETURNING id")
                  .Number(-1),
              3);

    // A store that holds rows is never copied into.
    copied.clear();
    EXPECT_FALSE(CopyStore(from, to, copied, refused, error));
    EXPECT_TRUE(refused);
    EXPECT_NE(error.find("already holds rows (releases)"), std::string::npos) << error;
    EXPECT_EQ(Count(to, "installations"), 2500);
    EXPECT_EQ(Count(to, "checkins"), 3);
}

TEST(StoreCopy, ACopyThatFailsLeavesTheTargetEmpty) {
    const Stores stores;
    const Database &from = stores.from, &to = stores.to;
    ASSERT_EQ(RunScript(from, Rows).error, "");
    // The last table's rows cannot all go in: everything before them is undone.
    ASSERT_EQ(RunScript(to, "CREATE UNIQUE INDEX one_body ON acceptance_reports (client_address);").error, "");
    ASSERT_EQ(RunScript(from, "INSERT INTO acceptance_reports (received_at, client_address, raw_body)"
                              " VALUES ('2026-12-02T10:00:09Z', '10.0.0.1', X'7B7D');")
                  .error,
              "");
    std::vector<CopiedTable> copied;
    bool refused = true;
    std::string error;
    EXPECT_FALSE(CopyStore(from, to, copied, refused, error));
    EXPECT_FALSE(refused);
    EXPECT_EQ(error.rfind("writing acceptance_reports: ", 0), 0u) << error;
    EXPECT_TRUE(copied.empty());
    for (const char* table : {"releases", "installations", "checkins", "update_reports", "acceptance_reports"}) {
        EXPECT_EQ(Count(to, table), 0) << table;
    }
}
