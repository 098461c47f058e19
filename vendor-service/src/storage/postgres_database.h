// The Database interface over one PostgreSQL connection (libpq).
#pragma once
#include <string>

#include "storage/database.h"

// Connects with a connection string ("postgresql://user@host/db" or
// "host=... dbname=..."); false with the reason. The connection is closed
// with the last copy of `db` (or by db.close()).
bool OpenPostgresDatabase(const std::string& target, Database& db, std::string& error);
