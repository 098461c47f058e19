#include "console/accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <ctime>

#include "storage/sqlite_handles.h"

namespace {

constexpr int Iterations = 200000;
constexpr int HashBytes = 32;

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

std::string Pbkdf2(const std::string& password, const std::string& salt, int iterations) {
    unsigned char out[HashBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), HashBytes, out) != 1) {
        return std::string();
    }
    return Hex(out, HashBytes);
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return Hex(digest, size);
}

}  // namespace

std::string RandomToken() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
    return Hex(bytes, sizeof bytes);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool IsOperatorName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

bool SaveOperator(sqlite3* db, const std::string& name, const std::string& password, std::string& error) {
    const std::string salt = RandomToken();
    const std::string hash = Pbkdf2(password, salt, Iterations);
    if (salt.empty() || hash.empty()) {
        error = "no randomness for the salt";
        return false;
    }
    SqliteStatement statement(db,
                              "INSERT INTO operators (name, salt, hash, iterations, created_at)"
                              " VALUES (?1, ?2, ?3, ?4, datetime('now')) ON CONFLICT (name) DO UPDATE SET"
                              " salt = excluded.salt, hash = excluded.hash, iterations = excluded.iterations");
    if (!statement.Ok()) {
        error = sqlite3_errmsg(db);
        return false;
    }
    BindText(statement.Get(), 1, name);
    BindText(statement.Get(), 2, salt);
    BindText(statement.Get(), 3, hash);
    sqlite3_bind_int(statement.Get(), 4, Iterations);
    if (sqlite3_step(statement.Get()) != SQLITE_DONE) {
        error = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

bool CheckOperator(sqlite3* db, const std::string& name, const std::string& password) {
    SqliteStatement statement(db, "SELECT salt, hash, iterations FROM operators WHERE name = ?1");
    if (!statement.Ok()) return false;
    BindText(statement.Get(), 1, name);
    std::string salt = "sin-operador", hash;
    int iterations = Iterations;
    const bool found = sqlite3_step(statement.Get()) == SQLITE_ROW;
    if (found) {
        salt = ColumnText(statement.Get(), 0);
        hash = ColumnText(statement.Get(), 1);
        iterations = sqlite3_column_int(statement.Get(), 2);
    }
    const std::string computed = Pbkdf2(password, salt, iterations);  // for an unknown name too
    return found && !hash.empty() && SameText(computed, hash);
}

bool OpenSession(sqlite3* db, const std::string& operatorName, int hours, std::string& token, std::string& csrf) {
    token = RandomToken();
    csrf = RandomToken();
    if (token.empty() || csrf.empty()) return false;
    const int64_t now = std::time(nullptr);
    SqliteStatement expired(db, "DELETE FROM sessions WHERE expires_unix < ?1");
    if (expired.Ok()) {
        sqlite3_bind_int64(expired.Get(), 1, now);
        sqlite3_step(expired.Get());
    }
    SqliteStatement statement(
        db, "INSERT INTO sessions (token_hash, operator, csrf, expires_unix) VALUES (?1, ?2, ?3, ?4)");
    if (!statement.Ok()) return false;
    BindText(statement.Get(), 1, Sha256Hex(token));
    BindText(statement.Get(), 2, operatorName);
    BindText(statement.Get(), 3, csrf);
    sqlite3_bind_int64(statement.Get(), 4, now + static_cast<int64_t>(hours) * 3600);
    return sqlite3_step(statement.Get()) == SQLITE_DONE;
}

bool FindSession(sqlite3* db, const std::string& token, Session& session) {
    if (token.size() != 64) return false;
    SqliteStatement statement(db, "SELECT operator, csrf FROM sessions WHERE token_hash = ?1 AND expires_unix > ?2");
    if (!statement.Ok()) return false;
    BindText(statement.Get(), 1, Sha256Hex(token));
    sqlite3_bind_int64(statement.Get(), 2, std::time(nullptr));
    if (sqlite3_step(statement.Get()) != SQLITE_ROW) return false;
    session.operatorName = ColumnText(statement.Get(), 0);
    session.csrf = ColumnText(statement.Get(), 1);
    return true;
}

void CloseSession(sqlite3* db, const std::string& token) {
    SqliteStatement statement(db, "DELETE FROM sessions WHERE token_hash = ?1");
    if (!statement.Ok()) return;
    BindText(statement.Get(), 1, Sha256Hex(token));
    sqlite3_step(statement.Get());
}
