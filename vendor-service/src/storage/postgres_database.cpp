#include "storage/postgres_database.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

constexpr unsigned int ByteaType = 17;  // pg_type's oid of bytea

// The connection and the names of its prepared statements.
struct PostgresState {
    PGconn* conn = nullptr;
    std::map<const void*, std::string> prepared;
    int named = 0;

    ~PostgresState() { Close(); }
    void Close() {
        if (conn != nullptr) PQfinish(conn);
        conn = nullptr;
        prepared.clear();
    }
};

// Serialization failures, deadlocks and lock timeouts are worth another
// try; anything else means the connection or the store is in trouble.
SqlStatus StatusOf(const PGresult* result, PGconn* conn) {
    if (PQstatus(conn) != CONNECTION_OK) return SqlStatus::Failed;
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (state != nullptr &&
        (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0 || std::strcmp(state, "55P03") == 0)) {
        return SqlStatus::Busy;
    }
    return SqlStatus::Failed;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// bytea comes as "\x" and hex digits in text results.
std::string FromHex(const char* text, size_t size) {
    std::string bytes;
    for (size_t i = 2; i + 1 < size; i += 2) bytes += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
    return bytes;
}

SqlResult Collect(PGresult* answer, PGconn* conn) {
    SqlResult result;
    const ExecStatusType status = PQresultStatus(answer);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        result.status = StatusOf(answer, conn);
        result.error = answer != nullptr ? PQresultErrorMessage(answer) : PQerrorMessage(conn);
        while (!result.error.empty() && result.error.back() == '\n') result.error.pop_back();
        PQclear(answer);
        return result;
    }
    // A COMMIT of a transaction the server had already failed answers
    // "ROLLBACK", with a success status: nothing of it was kept.
    if (std::strcmp(PQcmdStatus(answer), "ROLLBACK") == 0) {
        result.status = SqlStatus::Failed;
        result.error = "the transaction was rolled back";
        PQclear(answer);
        return result;
    }
    const int columns = PQnfields(answer);
    for (int c = 0; c < columns; ++c) result.columns.emplace_back(PQfname(answer, c));
    for (int r = 0; r < PQntuples(answer); ++r) {
        SqlRow row;
        row.values.resize(static_cast<size_t>(columns));
        row.nulls.resize(static_cast<size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            const auto column = static_cast<size_t>(c);
            if (PQgetisnull(answer, r, c) != 0) {
                row.nulls[column] = true;
                continue;
            }
            const char* value = PQgetvalue(answer, r, c);
            const auto size = static_cast<size_t>(PQgetlength(answer, r, c));
            row.values[column] = PQftype(answer, c) == ByteaType ? FromHex(value, size) : std::string(value, size);
        }
        result.rows.push_back(std::move(row));
    }
    const char* changed = PQcmdTuples(answer);
    result.changes = changed != nullptr && *changed != '\0' ? std::strtoll(changed, nullptr, 10) : 0;
    PQclear(answer);
    return result;
}

// Parameters in text form, blobs as bytes.
struct Parameters {
    std::vector<std::string> texts;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;

    explicit Parameters(const std::vector<SqlValue>& given) {
        texts.resize(given.size());
        for (size_t i = 0; i < given.size(); ++i) {
            const SqlValue& value = given[i];
            if (value.kind == SqlValue::Kind::Integer) texts[i] = std::to_string(value.integer);
            if (value.kind == SqlValue::Kind::Real) {
                char number[40];
                std::snprintf(number, sizeof number, "%.17g", value.real);
                texts[i] = number;
            }
            if (value.kind == SqlValue::Kind::Text || value.kind == SqlValue::Kind::Blob) texts[i] = value.text;
        }
        for (size_t i = 0; i < given.size(); ++i) {
            values.push_back(given[i].kind == SqlValue::Kind::Null ? nullptr : texts[i].data());
            lengths.push_back(static_cast<int>(texts[i].size()));
            formats.push_back(given[i].kind == SqlValue::Kind::Blob ? 1 : 0);
        }
    }
};

SqlResult Gone(const std::string& what) {
    SqlResult result;
    result.status = SqlStatus::Failed;
    result.error = what;
    return result;
}

}  // namespace

bool OpenPostgresDatabase(const std::string& target, Database& db, std::string& error) {
    auto state = std::make_shared<PostgresState>();
    // A server that is down or gone silent is found out within seconds (one
    // that stops acknowledging what was sent, within 10 s), a lock held
    // elsewhere is waited for at most a few, and bytea comes in hex whatever
    // the server's default. What the target names itself comes after these
    // and overrides them.
    const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                          "tcp_user_timeout", "options", "dbname", nullptr};
    const char* values[] = {"5", "10", "5", "3", "10000", "-c lock_timeout=5000 -c bytea_output=hex", target.c_str(),
                            nullptr};
    state->conn = PQconnectdbParams(keys, values, 1);
    if (state->conn == nullptr || PQstatus(state->conn) != CONNECTION_OK) {
        error = state->conn != nullptr ? PQerrorMessage(state->conn) : "cannot connect";
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return false;
    }
    PQclear(PQexec(state->conn, "SET client_min_messages = warning"));
    db.dialect = Dialect::Postgres;
    auto mutex = std::make_shared<std::mutex>();
    db.run = [state, mutex](const char* sql, const std::vector<SqlValue>& parameters) {
        std::lock_guard<std::mutex> lock(*mutex);
        if (state->conn == nullptr) return Gone("the connection is closed");
        std::string& name = state->prepared[sql];
        if (name.empty()) {
            const std::string candidate = "s" + std::to_string(++state->named);
            PGresult* made =
                PQprepare(state->conn, candidate.c_str(), PostgresPlaceholders(sql).c_str(), 0, nullptr);
            if (PQresultStatus(made) != PGRES_COMMAND_OK) {
                state->prepared.erase(sql);
                return Collect(made, state->conn);
            }
            PQclear(made);
            name = candidate;
        }
        const Parameters bound(parameters);
        return Collect(PQexecPrepared(state->conn, name.c_str(), static_cast<int>(parameters.size()),
                                      bound.values.data(), bound.lengths.data(), bound.formats.data(), 0),
                       state->conn);
    };
    db.runText = [state, mutex](const std::string& sql, const std::vector<SqlValue>& parameters) {
        std::lock_guard<std::mutex> lock(*mutex);
        if (state->conn == nullptr) return Gone("the connection is closed");
        const Parameters bound(parameters);
        return Collect(PQexecParams(state->conn, PostgresPlaceholders(sql).c_str(), static_cast<int>(parameters.size()),
                                    nullptr, bound.values.data(), bound.lengths.data(), bound.formats.data(), 0),
                       state->conn);
    };
    db.close = [state, mutex] {
        std::lock_guard<std::mutex> lock(*mutex);
        state->Close();
    };
    return true;
}
