// The bodies the agent posts, read into the columns the service stores.
#pragma once
#include <string>
#include <vector>

enum class ReportKind { CheckIn, Update, Acceptance };

struct ReportColumn {
    const char* member;   // JSON member name, also the column name
    bool integer;         // stored as INTEGER (else TEXT)
    size_t maxBytes;      // a text's bound, in bytes of UTF-8
    long long minNumber;  // an integer's range
    long long maxNumber;
};

const std::vector<ReportColumn>& ColumnsOf(ReportKind kind);

// The largest body of a kind the service reads: every member at its bound,
// written twice over (a path's backslashes are escaped), and room for the
// names. A body of unknown members gets no more room than that.
size_t MaxBodyBytes(ReportKind kind);
const char* TableOf(ReportKind kind);
const char* KindName(ReportKind kind);
bool KindFromName(const std::string& name, ReportKind& kind);

struct ColumnValue {
    bool present = false;
    std::string text;
    long long number = 0;
};

struct ParsedReport {
    std::vector<ColumnValue> columns;  // in ColumnsOf order
};

// Deepest nesting of arrays and objects accepted in a body; the outermost
// object is level 1.
inline constexpr int MaxJsonDepth = 64;

// Parses a posted body. False with a Spanish error text when it is nested
// deeper than MaxJsonDepth, is not a JSON object, or a known member has the
// wrong type, a whole number outside its range, a text longer than its
// bound or with a NUL character (SQL would see it cut there); the text names
// the member. Members the service does not know are kept only in the raw
// body.
bool ParseReport(ReportKind kind, const std::string& body, ParsedReport& report, std::string& error);
