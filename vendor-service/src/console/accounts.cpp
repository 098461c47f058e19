#include "console/accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <ctime>

#include "http/text_escape.h"
#include "storage/stored_time.h"

namespace {

constexpr int Iterations = 200000;
constexpr int HashBytes = 32;

std::string Pbkdf2(const std::string& password, const std::string& salt, int iterations) {
    unsigned char out[HashBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), HashBytes, out) != 1) {
        return std::string();
    }
    return LowerHex(out, HashBytes);
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return LowerHex(digest, size);
}

}  // namespace

std::string RandomToken() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
    return LowerHex(bytes, sizeof bytes);
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

bool SaveOperator(const Database& db, const std::string& name, const std::string& password, std::string& error,
                  bool mustExist, const std::string& role) {
    const std::string salt = RandomToken();
    const std::string hash = Pbkdf2(password, salt, Iterations);
    if (salt.empty() || hash.empty()) {
        error = "no randomness for the salt";
        return false;
    }
    // The new password and the end of the old one's sessions, together.
    SqlResult result = Begin(db);
    if (result.Ok() && mustExist) {
        result = db.Run("SELECT 1 FROM operators WHERE name = ?1", {Text(name)});
        if (result.Ok() && result.rows.empty()) {
            Rollback(db);
            error = "there is no operator " + name;
            return false;
        }
    }
    if (result.Ok()) {
        result = db.Run(
            "INSERT INTO operators (name, salt, hash, iterations, created_at, role) VALUES (?1, ?2, ?3, ?4, ?5, ?6)"
            " ON CONFLICT (name) DO UPDATE SET salt = excluded.salt, hash = excluded.hash,"
            " iterations = excluded.iterations",
            {Text(name), Text(salt), Text(hash), Int(Iterations), Text(std::to_string(std::time(nullptr))),
             Text(role)});
    }
    if (result.Ok()) result = db.Run("DELETE FROM sessions WHERE operator = ?1", {Text(name)});
    if (result.Ok()) result = Commit(db);
    if (!result.Ok()) {
        error = result.error;
        Rollback(db);
    }
    return result.Ok();
}

bool SetOperatorRole(const Database& db, const std::string& name, const std::string& role, std::string& error) {
    const SqlResult result = db.Run("UPDATE operators SET role = ?2 WHERE name = ?1", {Text(name), Text(role)});
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    if (result.changes == 0) error = "no existe el operador " + name;
    return result.changes > 0;
}

bool RemoveOperator(const Database& db, const std::string& name, std::string& error) {
    SqlResult result = Begin(db);
    if (result.Ok()) result = db.Run("DELETE FROM operators WHERE name = ?1", {Text(name)});
    const long long removed = result.Ok() ? result.changes : 0;
    if (result.Ok()) result = db.Run("DELETE FROM sessions WHERE operator = ?1", {Text(name)});
    if (result.Ok()) result = Commit(db);
    if (!result.Ok()) {
        error = result.error;
        Rollback(db);
        return false;
    }
    if (removed == 0) error = "there is no operator " + name;
    return removed > 0;
}

bool CheckOperator(const Database& db, const std::string& name, const std::string& password) {
    const SqlResult result = db.Run("SELECT salt, hash, iterations FROM operators WHERE name = ?1", {Text(name)});
    const bool found = result.Ok() && !result.rows.empty();
    const std::string salt = found ? result.rows[0].Text(0) : "sin-operador";
    const std::string hash = found ? result.rows[0].Text(1) : std::string();
    const int iterations = found ? static_cast<int>(result.rows[0].Int(2)) : Iterations;
    const std::string computed = Pbkdf2(password, salt, iterations);  // for an unknown name too
    return found && !hash.empty() && SameText(computed, hash);
}

bool OpenSession(const Database& db, const std::string& operatorName, int hours, std::string& token,
                 std::string& csrf) {
    token = RandomToken();
    csrf = RandomToken();
    if (token.empty() || csrf.empty()) return false;
    const int64_t now = std::time(nullptr);
    db.Run("DELETE FROM sessions WHERE expires_unix < ?1", {Int(now)});
    return db
        .Run("INSERT INTO sessions (token_hash, operator, csrf, expires_unix) VALUES (?1, ?2, ?3, ?4)",
             {Text(Sha256Hex(token)), Text(operatorName), Text(csrf), Int(now + static_cast<int64_t>(hours) * 3600)})
        .Ok();
}

bool FindSession(const Database& db, const std::string& token, Session& session) {
    if (token.size() != 64) return false;
    const SqlResult result = db.Run(
        "SELECT s.operator, s.csrf, o.role FROM sessions s JOIN operators o ON o.name = s.operator"
        " WHERE s.token_hash = ?1 AND s.expires_unix > ?2",
        {Text(Sha256Hex(token)), Int(std::time(nullptr))});
    if (!result.Ok() || result.rows.empty()) return false;
    session.operatorName = result.rows[0].Text(0);
    session.csrf = result.rows[0].Text(1);
    session.role = result.rows[0].Text(2);
    return true;
}

void CloseSession(const Database& db, const std::string& token) {
    db.Run("DELETE FROM sessions WHERE token_hash = ?1", {Text(Sha256Hex(token))});
}

namespace {

constexpr char TokenPrefix[] = "trv_";
constexpr int64_t TokenUseNoteSeconds = 60;

}  // namespace

bool CreateToken(const Database& db, const std::string& name, const std::string& scope, const std::string& createdBy,
                 std::string& token, long long& id, std::string& error) {
    const std::string secret = RandomToken();
    if (secret.empty()) {
        error = "no hay aleatoriedad para el token";
        return false;
    }
    token = TokenPrefix + secret;
    const SqlResult result = db.Run(
        "INSERT INTO api_tokens (name, token_hash, scope, created_by, created_at) VALUES (?1, ?2, ?3, ?4, ?5)"
        " RETURNING id",
        {Text(name), Text(Sha256Hex(token)), Text(scope), Text(createdBy), Text(UtcText(std::time(nullptr)))});
    if (!result.Ok() || result.rows.empty()) {
        error = result.error;
        return false;
    }
    id = result.rows[0].Int(0);
    return true;
}

bool RevokeToken(const Database& db, long long id, std::string& error) {
    const SqlResult result = db.Run("UPDATE api_tokens SET revoked_at = ?2 WHERE id = ?1 AND revoked_at IS NULL",
                                    {Int(id), Text(UtcText(std::time(nullptr)))});
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    if (result.changes == 0) error = "no existe ese token, o ya estaba revocado";
    return result.changes > 0;
}

bool FindToken(const Database& db, const std::string& token, std::string& name, std::string& scope) {
    if (token.size() != 68 || token.rfind(TokenPrefix, 0) != 0) return false;
    const std::string hash = Sha256Hex(token);
    const SqlResult result = db.Run(
        "SELECT name, scope, COALESCE(last_used_at, '') FROM api_tokens WHERE token_hash = ?1 AND revoked_at IS NULL",
        {Text(hash)});
    if (!result.Ok() || result.rows.empty()) return false;
    name = result.rows[0].Text(0);
    scope = result.rows[0].Text(1);
    const int64_t now = std::time(nullptr);
    if (result.rows[0].Text(2) < UtcText(now - TokenUseNoteSeconds)) {
        db.Run("UPDATE api_tokens SET last_used_at = ?2 WHERE token_hash = ?1", {Text(hash), Text(UtcText(now))});
    }
    return true;
}
