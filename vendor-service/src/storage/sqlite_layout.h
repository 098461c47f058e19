// The database layout, versioned in SQLite's user_version. The service
// brings a database to the current layout itself, in one transaction, or
// refuses it with the reason; it never works on a half-upgraded file.
//
//   0  an empty file, or the first layout (its version was never written):
//      the three report tables, each row's members also kept as JSON
//   1  the same tables without the JSON copy (the raw body holds it all)
//   2  installations, releases, rollouts and each installation's place in
//      them; check-ins and update reports name their installation (and
//      rollout), operators and their sessions for the console
#pragma once
#include <sqlite3.h>

#include <string>

inline constexpr int CurrentSqliteLayout = 2;

enum class LayoutOutcome {
    Ready,    // the database has the current layout now
    Refused,  // its layout is one this service cannot use or upgrade
    Failed,   // it could not be read or written
};

LayoutOutcome PrepareSqliteLayout(sqlite3* db, std::string& error);
