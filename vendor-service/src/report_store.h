// Stored check-ins and reports, in SQLite. Safe to use from several threads.
#pragma once
#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "report_parsing.h"

struct StoredRow {
    std::map<std::string, std::string> values;  // column name -> value as text ("" for NULL)
};

class ReportStore {
public:
    ReportStore() = default;
    ~ReportStore();
    ReportStore(const ReportStore&) = delete;
    ReportStore& operator=(const ReportStore&) = delete;

    // Opens (creating as needed) the database and its tables.
    bool Open(const std::string& path, std::string& error);

    // False, naming the first missing column, when a table was created by
    // an older layout (tables that already exist are not changed by Open).
    bool HasCurrentLayout(std::string& error);

    // Stores one received body; returns its row id, or -1 with an error.
    long long Insert(ReportKind kind, const std::string& receivedAt, const std::string& clientAddress,
                     const std::string& rawBody, const ParsedReport& report, std::string& error);

    // The last count rows of a kind, newest first.
    std::vector<StoredRow> Last(ReportKind kind, int count, std::string& error);

private:
    bool Execute(const std::string& sql, std::string& error);

    sqlite3* db_ = nullptr;
    std::mutex mutex_;
};
