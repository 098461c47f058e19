// The Database interface over one SQLite connection.
#pragma once
#include <string>

#include "storage/database.h"

// Opens (creating when asked) with busy waits of at most `busyMs`; false
// with the reason. The connection is closed with the last copy of `db`
// (or by db.close()).
bool OpenSqliteDatabase(const std::string& path, bool create, int busyMs, Database& db, std::string& error);
