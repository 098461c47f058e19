// The one list helper of the console. A list declares its columns and
// filters over one SQL source; the store pages, filters and sorts it and
// counts its rows, and the same rows come out as a page's table (with its
// sortable headings, filter form, row count and pager), as JSON for
// /panel/api/ and as CSV. What a visitor may choose (the sort column, a
// filter) is matched against the declaration: nothing it sends becomes SQL.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console/time_zone.h"
#include "storage/database.h"

enum class CellKind {
    Text,    // escaped on a page, neutralised in CSV
    Number,  // a whole number: thousands grouped, aligned right
    Time,    // a stored UTC time ("YYYY-MM-DDThh:mm:ssZ"): shown in the operator's zone
};

struct ListColumn {
    std::string key;    // in the query string (orden=key) and in JSON
    std::string label;  // the heading, on the page and in CSV
    std::string sql;    // what it selects and sorts by
    CellKind kind = CellKind::Text;
    bool sortable = true;
    bool shown = true;  // false: read for links and JSON only
};

struct ListFilter {
    std::string key;  // its query parameter
    std::string label;
    std::string condition;  // SQL with ?? where the value goes
    bool contains = false;  // the value is looked for inside the text, in any letter case
    std::vector<std::pair<std::string, std::string>> choices;  // value, label; none: free text
};

struct ListPlan {
    std::string name;    // a prefix for its query parameters where a page holds several lists
    std::string source;  // "FROM ... JOIN ..."
    std::string where;   // a fixed condition, or empty; ?1... are `parameters`
    std::vector<SqlValue> parameters;
    std::vector<ListColumn> columns;
    std::vector<ListFilter> filters;
    std::string sort;  // the key of the column sorted by when none is asked for
    bool descending = true;
    std::string tieBreak;  // an expression unique per row: the same order on every page
    // The row's own key (unique within `where`), or empty. With it, a page
    // finds its keys first and reads whole rows for those alone, so that a
    // far page does not carry every skipped row's columns.
    std::string rowKey;
    int pageSize = 50;
    std::string noun = "filas";  // "instalaciones": how the count is said
    std::string oneNoun = "fila";
    std::string empty = "Nada que mostrar.";
};

// What a visitor asked of a list: page, order, filters and page size.
struct ListRequest {
    long long page = 1;
    std::string sort;
    bool descending = true;
    int pageSize = 50;
    std::vector<std::pair<std::string, std::string>> filters;  // given ones, in declared order
};

// Read from a query string; anything undeclared or out of range is left at
// the list's default.
ListRequest ReadListRequest(const ListPlan& plan, const std::string& query);

struct ListRows {
    long long total = 0;       // rows that pass the filters
    std::vector<SqlRow> rows;  // the page asked for (or every row, up to the export bound)
};

// The most rows one CSV or JSON export carries.
inline constexpr long long MaxExportRows = 100000;

// The page asked for, or with `everything` every row up to MaxExportRows.
bool ReadList(const Database& db, const ListPlan& plan, const ListRequest& request, bool everything, ListRows& rows,
              std::string& error);

// A cell's HTML when a list draws it itself (a link); empty for the default.
using CellHtml = std::function<std::string(size_t column, const SqlRow& row)>;

// The filter form, the row count, the table with sortable headings, the
// pager and the CSV link. `path` is the page's own address and `query` its
// query string (other lists' parameters are kept in the links).
std::string ListHtml(const ListPlan& plan, const ListRequest& request, const ListRows& rows, const std::string& path,
                     const std::string& query, const TimeZone& zone, const CellHtml& cell = nullptr);

// {"total":N,"pagina":P,"por_pagina":S,"filas":[{key: value, ...}]}.
std::string ListJson(const ListPlan& plan, const ListRequest& request, const ListRows& rows);

// A header of labels and a line per row, CRLF-ended, UTF-8 with a BOM.
std::string ListCsv(const ListPlan& plan, const ListRows& rows);

// One CSV cell: quoted when it holds a separator, a quote or a line break;
// a text starting with "=", "+", "-", "@", a tab or a carriage return (a
// formula to a spreadsheet) gets a leading "'" and is quoted.
std::string CsvCell(const std::string& text, bool number);

// The query string with one parameter set to a value (or removed when the
// value is empty), the others kept in their order.
std::string WithParameter(const std::string& query, const std::string& name, const std::string& value);
