// Every row a vendor keeps, copied from one store into another that has
// none yet: the way from one SQLite file to PostgreSQL (or back). Both
// stores are brought to the current layout first (OpenStore); the source is
// read in one snapshot, the target written in one transaction, so a copy
// that fails leaves the target as empty as it was. Ids are kept, and the
// target's numbering goes on after them.
//
// Not copied: sessions (operators log in again) and the rate limits' recent
// usage. The secret goes with the rows where the source holds it
// (PostgreSQL); a SQLite source keeps it in its data folder, and the first
// instance on the new store takes it from there.
#pragma once
#include <string>
#include <vector>

#include "storage/database.h"

struct CopiedTable {
    std::string table;
    long long rows = 0;
};

// False with the reason, `refused` set when the target already holds rows
// (an instance ran on it, or an earlier copy) rather than failing.
bool CopyStore(const Database& from, const Database& to, std::vector<CopiedTable>& copied, bool& refused,
               std::string& error);
