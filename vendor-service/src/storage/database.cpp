#include "storage/database.h"

#include <cstdlib>

SqlValue Int(long long value) {
    SqlValue v;
    v.kind = SqlValue::Kind::Integer;
    v.integer = value;
    return v;
}

SqlValue Real(double value) {
    SqlValue v;
    v.kind = SqlValue::Kind::Real;
    v.real = value;
    return v;
}

SqlValue Text(std::string value) {
    SqlValue v;
    v.kind = SqlValue::Kind::Text;
    v.text = std::move(value);
    return v;
}

SqlValue TextOrNull(std::string value) {
    return value.empty() ? Null() : Text(std::move(value));
}

SqlValue Blob(std::string value) {
    SqlValue v;
    v.kind = SqlValue::Kind::Blob;
    v.text = std::move(value);
    return v;
}

SqlValue Null() {
    return SqlValue();
}

std::string SqlRow::Text(size_t column) const {
    return column < values.size() ? values[column] : std::string();
}

long long SqlRow::Int(size_t column) const {
    return column < values.size() ? std::strtoll(values[column].c_str(), nullptr, 10) : 0;
}

double SqlRow::Real(size_t column) const {
    return column < values.size() ? std::strtod(values[column].c_str(), nullptr) : 0;
}

bool SqlRow::IsNull(size_t column) const {
    return column >= nulls.size() || nulls[column];
}

long long SqlResult::Number(long long fallback) const {
    return rows.empty() || rows[0].IsNull(0) ? fallback : rows[0].Int(0);
}

SqlResult Begin(const Database& db) {
    return db.Run(db.dialect == Dialect::Sqlite ? "BEGIN IMMEDIATE" : "BEGIN");
}

SqlResult Commit(const Database& db) {
    return db.Run("COMMIT");
}

void Rollback(const Database& db) {
    db.Run("ROLLBACK");
}

SqlResult LockRollout(const Database& db, long long rolloutId) {
    if (db.dialect == Dialect::Sqlite) return SqlResult();
    return db.Run("SELECT id FROM rollouts WHERE id = ?1 FOR UPDATE", {Int(rolloutId)});
}

SqlResult LockFleetWrites(const Database& db) {
    if (db.dialect == Dialect::Sqlite) return SqlResult();
    return db.Run("SELECT pg_advisory_xact_lock(7426152)");
}

bool TryHousekeepingLock(const Database& db) {
    if (db.dialect == Dialect::Sqlite) return true;
    // Numbers of this service's own for PostgreSQL's advisory locks:
    // 7426150 the layout, 7426151 housekeeping, 7426152 the fleet's writes.
    const SqlResult result = db.Run("SELECT pg_try_advisory_xact_lock(7426151)");
    return result.Ok() && !result.rows.empty() && (result.rows[0].Text(0) == "t" || result.rows[0].Text(0) == "1");
}

std::string PostgresPlaceholders(const std::string& sql) {
    std::string out;
    out.reserve(sql.size());
    bool quoted = false;
    for (size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c == '\'') quoted = !quoted;
        if (!quoted && c == '?' && i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
            out += '$';
        } else {
            out += c;
        }
    }
    return out;
}

bool IsPostgresTarget(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0 ||
           target.find("dbname=") != std::string::npos || target.find("host=") != std::string::npos;
}
