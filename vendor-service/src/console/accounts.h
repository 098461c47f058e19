// Operators of the console and their sessions. A password is kept only as
// PBKDF2-HMAC-SHA256 of a random salt; a session is known by a random token
// whose SHA-256 alone is stored, with its CSRF token and its end.
#pragma once
#include <cstdint>
#include <string>

#include "storage/database.h"

// Letters, digits, '.', '_' and '-'; 1 to 64 of them.
bool IsOperatorName(const std::string& name);

// Adds the operator (with `role`: "lectura", "operador" or
// "administrador"), or gives an existing one a new password (its role
// kept) and ends its sessions. `mustExist`: only an existing one (else
// false, with the reason).
bool SaveOperator(const Database& db, const std::string& name, const std::string& password, std::string& error,
                  bool mustExist = false, const std::string& role = "administrador");

// Gives an operator another role; its sessions go on with the new one.
bool SetOperatorRole(const Database& db, const std::string& name, const std::string& role, std::string& error);

// Removes the operator and ends its sessions; false when there is none.
bool RemoveOperator(const Database& db, const std::string& name, std::string& error);

// True when the name and the password are an operator's. Takes as long for
// a name that does not exist.
bool CheckOperator(const Database& db, const std::string& name, const std::string& password);

struct Session {
    std::string operatorName;
    std::string csrf;
    std::string role;
};

// A new session of `hours`; its token for the cookie, and its CSRF token.
bool OpenSession(const Database& db, const std::string& operatorName, int hours, std::string& token, std::string& csrf);

// The session a cookie's token names, while it lasts and its operator exists.
bool FindSession(const Database& db, const std::string& token, Session& session);

void CloseSession(const Database& db, const std::string& token);

// API tokens for scripts and build pipelines: "trv_" and 64 hex digits,
// shown once; only their SHA-256 is kept. A scope ("lectura", "publicar",
// "operador") bounds what each may do; a revoked token opens nothing.
bool CreateToken(const Database& db, const std::string& name, const std::string& scope, const std::string& createdBy,
                 std::string& token, long long& id, std::string& error);
bool RevokeToken(const Database& db, long long id, std::string& error);
// The token's name and scope while it is not revoked (its last use noted, once a minute at most).
bool FindToken(const Database& db, const std::string& token, std::string& name, std::string& scope);

// 32 random bytes as hex; empty when the system has no randomness.
std::string RandomToken();

// True when two texts are equal, in time that does not depend on where they differ.
bool SameText(const std::string& a, const std::string& b);
