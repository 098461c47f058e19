// The store's connection as the rest of the service sees it: one narrow
// interface over SQLite (the embedded default) and PostgreSQL (several
// instances on one server). Statements are written once, with SQLite's
// numbered placeholders ?1, ?2 ... (turned into $1, $2 ... for PostgreSQL),
// in SQL both understand: INSERT ... ON CONFLICT, RETURNING, COUNT(*)
// FILTER (WHERE ...). What differs (the layout's DDL, row locks, the size
// of the store) goes through the dialect.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class Dialect { Sqlite, Postgres };

struct SqlValue {
    enum class Kind { Null, Integer, Real, Text, Blob };
    Kind kind = Kind::Null;
    long long integer = 0;
    double real = 0;
    std::string text;  // Text and Blob
};

SqlValue Int(long long value);
SqlValue Real(double value);
SqlValue Text(std::string value);
SqlValue TextOrNull(std::string value);  // NULL when empty
SqlValue Blob(std::string value);
SqlValue Null();

struct SqlRow {
    std::vector<std::string> values;
    std::vector<bool> nulls;
    std::string Text(size_t column) const;
    long long Int(size_t column) const;
    double Real(size_t column) const;
    bool IsNull(size_t column) const;
};

enum class SqlStatus {
    Ok,
    Busy,    // another writer holds what is needed, or a conflict: the transaction may be tried again
    Failed,  // the connection or the store failed (gone, full, read-only...): connect again before another try
};

struct SqlResult {
    SqlStatus status = SqlStatus::Ok;
    std::string error;
    std::vector<std::string> columns;
    std::vector<SqlRow> rows;
    long long changes = 0;  // rows inserted, updated or deleted
    bool Ok() const { return status == SqlStatus::Ok; }
    // The first column of the first row as a number; `fallback` when none.
    long long Number(long long fallback = 0) const;
};

// One connection to a store. Statements given as constants of the code are
// prepared once per connection (keyed by their address); `RunText` is for
// statements built at run time.
struct Database {
    Dialect dialect = Dialect::Sqlite;
    std::function<SqlResult(const char* sql, const std::vector<SqlValue>& parameters)> run;
    std::function<SqlResult(const std::string& sql, const std::vector<SqlValue>& parameters)> runText;
    std::function<void()> close;

    bool IsOpen() const { return static_cast<bool>(run); }
    SqlResult Run(const char* sql, const std::vector<SqlValue>& parameters = {}) const { return run(sql, parameters); }
    SqlResult RunText(const std::string& sql, const std::vector<SqlValue>& parameters = {}) const {
        return runText(sql, parameters);
    }
};

// A transaction that writes: SQLite takes its write lock at once (so a
// busy store is found at the start, not at the commit).
SqlResult Begin(const Database& db);
SqlResult Commit(const Database& db);
void Rollback(const Database& db);

// Where several service instances may write at once, the row of a rollout
// is locked until the transaction ends, so decisions about it (halting it)
// are taken one at a time. A single SQLite writer needs none.
SqlResult LockRollout(const Database& db, long long rolloutId);

// Where several instances write, their transactions about the fleet
// (batches, commands, stages advancing) take turns: each touches rows of
// installations and rollouts in the order its requests came, and two in
// opposite orders would wait on each other. Waits as long as a row lock
// does; nothing to do on SQLite, whose writer is alone anyway.
SqlResult LockFleetWrites(const Database& db);

// Takes the store-wide lock for housekeeping (retention, stages advancing)
// for this transaction; false when another instance holds it.
bool TryHousekeepingLock(const Database& db);

// "?1 ... ?N" into "$1 ... $N", outside quoted text.
std::string PostgresPlaceholders(const std::string& sql);

// A store given on the command line: a PostgreSQL connection string
// ("postgresql://..." or "host=... dbname=..."), else a SQLite file.
bool IsPostgresTarget(const std::string& target);
