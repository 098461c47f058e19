#include "console/list_view.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "console/html.h"
#include "console/spanish_format.h"
#include "http/message.h"

namespace {

constexpr int MinPageSize = 10;
constexpr int MaxPageSize = 500;
constexpr size_t MaxFilterBytes = 256;

std::string Param(const ListPlan& plan, const std::string& name) {
    return plan.name.empty() ? name : plan.name + "_" + name;
}

const ListColumn* ColumnNamed(const ListPlan& plan, const std::string& key) {
    for (const ListColumn& column : plan.columns) {
        if (column.key == key && column.sortable) return &column;
    }
    return nullptr;
}

bool IsChoice(const ListFilter& filter, const std::string& value) {
    if (filter.choices.empty()) return true;
    return std::any_of(filter.choices.begin(), filter.choices.end(),
                       [&value](const auto& choice) { return choice.first == value; });
}

// A value for LIKE: its wildcards and the escape taken literally, in lower case.
std::string LikePattern(const std::string& text) {
    std::string pattern = "%";
    for (const char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return pattern + "%";
}

// "WHERE ..." for the fixed condition and the filters given, and its parameters.
std::string WhereOf(const ListPlan& plan, const ListRequest& request, std::vector<SqlValue>& parameters) {
    parameters = plan.parameters;
    std::vector<std::string> parts;
    if (!plan.where.empty()) parts.push_back("(" + plan.where + ")");
    for (const auto& entry : request.filters) {
        const std::string& key = entry.first;
        const std::string& value = entry.second;
        const auto filter = std::find_if(plan.filters.begin(), plan.filters.end(),
                                         [&key](const ListFilter& f) { return f.key == key; });
        if (filter == plan.filters.end()) continue;
        parameters.push_back(Text(filter->contains ? LikePattern(value) : value));
        std::string condition = filter->condition;
        const std::string mark = "?" + std::to_string(parameters.size());
        for (size_t at; (at = condition.find("??")) != std::string::npos;) condition.replace(at, 2, mark);
        parts.push_back("(" + condition + ")");
    }
    std::string where;
    for (const std::string& part : parts) where += (where.empty() ? " WHERE " : " AND ") + part;
    return where;
}

std::string OrderOf(const ListPlan& plan, const ListRequest& request) {
    const ListColumn* column = ColumnNamed(plan, request.sort);
    if (column == nullptr) return plan.tieBreak.empty() ? "" : " ORDER BY " + plan.tieBreak;
    const std::string direction = request.descending ? " DESC" : " ASC";
    return " ORDER BY " + column->sql + direction + (plan.tieBreak.empty() ? "" : ", " + plan.tieBreak + direction);
}

std::string OwnQuery(const ListPlan& plan, const ListRequest& request, const std::string& query) {
    std::string out = query;
    out = WithParameter(out, Param(plan, "orden"), request.sort == plan.sort ? "" : request.sort);
    out = WithParameter(out, Param(plan, "dir"),
                        request.descending == plan.descending ? "" : (request.descending ? "desc" : "asc"));
    return out;
}

std::string Href(const std::string& path, const std::string& query) {
    return query.empty() ? path : path + "?" + query;
}

std::string DefaultCell(const ListColumn& column, const SqlRow& row, size_t index, const TimeZone& zone) {
    if (row.IsNull(index)) return "";
    if (column.kind == CellKind::Number) return Html(SpanishCount(row.Int(index)));
    if (column.kind == CellKind::Time) return TimeHtml(row.Text(index), zone);
    return Html(row.Text(index));
}

std::string Heading(const ListPlan& plan, const ListRequest& request, const ListColumn& column, const std::string& path,
                    const std::string& query) {
    std::string attributes = column.kind == CellKind::Number ? " class=\"numero\"" : "";
    if (!column.sortable) return "<th" + attributes + ">" + Html(column.label) + "</th>";
    const bool current = request.sort == column.key;
    const bool descending = current ? !request.descending : column.kind != CellKind::Text;
    std::string target = WithParameter(query, Param(plan, "orden"), column.key);
    target = WithParameter(target, Param(plan, "dir"), descending ? "desc" : "asc");
    target = WithParameter(target, Param(plan, "pagina"), "");
    const std::string mark = current ? (request.descending ? " ▼" : " ▲") : "";
    if (current) attributes += std::string(" aria-sort=\"") + (request.descending ? "descending" : "ascending") + "\"";
    return "<th" + attributes + "><a href=\"" + Html(Href(path, target)) + "\">" + Html(column.label) + mark +
           "</a></th>";
}

std::string FilterForm(const ListPlan& plan, const ListRequest& request, const std::string& path) {
    if (plan.filters.empty()) return "";
    std::string form = "<form method=\"get\" action=\"" + Html(path) + "\" class=\"filtros\">";
    for (const ListFilter& filter : plan.filters) {
        std::string given;
        for (const auto& [key, value] : request.filters) {
            if (key == filter.key) given = value;
        }
        const std::string name = Html(Param(plan, filter.key));
        form += "<label>" + Html(filter.label) + " ";
        if (filter.choices.empty()) {
            form += "<input name=\"" + name + "\" value=\"" + Html(given) + "\" maxlength=\"" +
                    std::to_string(MaxFilterBytes) + "\">";
        } else {
            form += "<select name=\"" + name + "\"><option value=\"\">(todos)</option>";
            for (const auto& [value, label] : filter.choices) {
                form += "<option value=\"" + Html(value) + "\"" + (value == given ? " selected" : "") + ">" +
                        Html(label) + "</option>";
            }
            form += "</select>";
        }
        form += "</label> ";
    }
    if (request.sort != plan.sort) {
        form += "<input type=\"hidden\" name=\"" + Html(Param(plan, "orden")) + "\" value=\"" + Html(request.sort) + "\">";
    }
    if (request.descending != plan.descending) {
        form += "<input type=\"hidden\" name=\"" + Html(Param(plan, "dir")) + "\" value=\"" +
                (request.descending ? "desc" : "asc") + "\">";
    }
    return form + "<button type=\"submit\">Filtrar</button></form>";
}

std::string CountLine(const ListPlan& plan, const ListRequest& request, const ListRows& rows) {
    if (rows.total == 0) return "";
    const long long first = (request.page - 1) * request.pageSize + 1;
    const long long last = std::min(rows.total, first + static_cast<long long>(rows.rows.size()) - 1);
    std::string text = Counted(rows.total, plan.oneNoun, plan.noun);
    if (rows.total > static_cast<long long>(rows.rows.size()) && !rows.rows.empty()) {
        text += "; se muestran de la " + SpanishCount(first) + " a la " + SpanishCount(last);
    }
    return text + ".";
}

std::string Pager(const ListPlan& plan, const ListRequest& request, const ListRows& rows, const std::string& path,
                  const std::string& query) {
    const long long pages = std::max<long long>(1, (rows.total + request.pageSize - 1) / request.pageSize);
    const std::string csvQuery =
        WithParameter(WithParameter(OwnQuery(plan, request, query), "formato", "csv"), "lista", plan.name);
    std::string pager = "<p class=\"paginas\">";
    const auto link = [&](long long page, const std::string& label, const std::string& rel) {
        const std::string target = WithParameter(query, Param(plan, "pagina"), page == 1 ? "" : std::to_string(page));
        return "<a rel=\"" + rel + "\" href=\"" + Html(Href(path, target)) + "\">" + Html(label) + "</a> ";
    };
    if (request.page > 1) pager += link(request.page - 1, "« Anterior", "prev");
    if (pages > 1) pager += "Página " + SpanishCount(request.page) + " de " + SpanishCount(pages) + " ";
    if (request.page < pages) pager += link(request.page + 1, "Siguiente »", "next");
    if (rows.total > 0) pager += "<a class=\"csv\" href=\"" + Html(Href(path, csvQuery)) + "\">Exportar CSV</a>";
    return pager + "</p>";
}

}  // namespace

std::string WithParameter(const std::string& query, const std::string& name, const std::string& value) {
    std::string out;
    bool placed = false;
    size_t start = 0;
    while (start <= query.size() && !query.empty()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, end - start);
        const std::string key = pair.substr(0, pair.find('='));
        if (key == name) {
            if (!placed && !value.empty()) out += (out.empty() ? "" : "&") + name + "=" + UrlComponent(value);
            placed = true;
        } else if (!pair.empty()) {
            out += (out.empty() ? "" : "&") + pair;
        }
        start = end + 1;
    }
    if (!placed && !value.empty()) out += (out.empty() ? "" : "&") + name + "=" + UrlComponent(value);
    return out;
}

ListRequest ReadListRequest(const ListPlan& plan, const std::string& query) {
    ListRequest request;
    request.sort = plan.sort;
    request.descending = plan.descending;
    request.pageSize = plan.pageSize;
    const std::string page = QueryValue(query, Param(plan, "pagina"));
    if (!page.empty() && page.size() <= 9 && page.find_first_not_of("0123456789") == std::string::npos) {
        request.page = std::max(1LL, std::stoll(page));
    }
    const std::string size = QueryValue(query, Param(plan, "por_pagina"));
    if (!size.empty() && size.size() <= 4 && size.find_first_not_of("0123456789") == std::string::npos) {
        request.pageSize = std::clamp(std::stoi(size), MinPageSize, MaxPageSize);
    }
    const std::string sort = QueryValue(query, Param(plan, "orden"));
    if (ColumnNamed(plan, sort) != nullptr) request.sort = sort;
    const std::string direction = QueryValue(query, Param(plan, "dir"));
    if (direction == "asc" || direction == "desc") request.descending = direction == "desc";
    for (const ListFilter& filter : plan.filters) {
        const std::string value = QueryValue(query, Param(plan, filter.key));
        if (!value.empty() && value.size() <= MaxFilterBytes && IsChoice(filter, value)) {
            request.filters.emplace_back(filter.key, value);
        }
    }
    return request;
}

bool ReadList(const Database& db, const ListPlan& plan, const ListRequest& request, bool everything, ListRows& rows,
              std::string& error) {
    std::vector<SqlValue> parameters;
    const std::string where = WhereOf(plan, request, parameters);
    const std::string from = " " + plan.source + where;
    const SqlResult counted = db.RunText("SELECT COUNT(*)" + from, parameters);
    if (!counted.Ok()) {
        error = counted.error;
        return false;
    }
    rows.total = counted.Number(0);
    std::string columns;
    for (const ListColumn& column : plan.columns) columns += (columns.empty() ? "" : ", ") + column.sql;
    const long long limit = everything ? MaxExportRows : request.pageSize;
    const long long offset = everything ? 0 : (request.page - 1) * request.pageSize;
    if (!everything && offset >= rows.total) return true;  // past the last page: nothing to read
    parameters.push_back(Int(limit));
    parameters.push_back(Int(offset));
    const std::string paging = " LIMIT ?" + std::to_string(parameters.size() - 1) + " OFFSET ?" +
                               std::to_string(parameters.size());
    const std::string order = OrderOf(plan, request);
    std::string select = "SELECT " + columns + from + order + paging;
    if (!everything && !plan.rowKey.empty()) {
        // A far page walks its offset over the keys alone, then reads whole rows for those keys only.
        const std::string keys = "SELECT " + plan.rowKey + from + order + paging;
        select = "SELECT " + columns + from + (where.empty() ? " WHERE " : " AND ") +
                 plan.rowKey + " IN (" + keys + ")" + order;
    }
    SqlResult result = db.RunText(select, parameters);
    if (!result.Ok()) {
        error = result.error;
        return false;
    }
    rows.rows = std::move(result.rows);
    return true;
}

std::string ListHtml(const ListPlan& plan, const ListRequest& request, const ListRows& rows, const std::string& path,
                     const std::string& query, const TimeZone& zone, const CellHtml& cell) {
    std::string html = FilterForm(plan, request, path);
    const std::string count = CountLine(plan, request, rows);
    if (!count.empty()) html += "<p class=\"cuenta\">" + Html(count) + "</p>";
    html += "<div class=\"tabla\"><table class=\"lista\"><thead><tr>";
    for (const ListColumn& column : plan.columns) {
        if (column.shown) html += Heading(plan, request, column, path, query);
    }
    html += "</tr></thead><tbody>";
    size_t shownColumns = 0;
    for (const ListColumn& column : plan.columns) shownColumns += column.shown ? 1 : 0;
    for (const SqlRow& row : rows.rows) {
        html += "<tr>";
        for (size_t i = 0; i < plan.columns.size(); ++i) {
            const ListColumn& column = plan.columns[i];
            if (!column.shown) continue;
            std::string drawn = cell ? cell(i, row) : std::string();
            if (drawn.empty()) drawn = DefaultCell(column, row, i, zone);
            html += std::string("<td") + (column.kind == CellKind::Number ? " class=\"numero\"" : "") +
                    " data-etiqueta=\"" + Html(column.label) + "\">" + drawn + "</td>";
        }
        html += "</tr>";
    }
    if (rows.rows.empty()) {
        html += "<tr><td colspan=\"" + std::to_string(shownColumns) + "\">" +
                Html(rows.total > 0 ? "No hay filas en esta página." : plan.empty) + "</td></tr>";
    }
    return html + "</tbody></table></div>" + Pager(plan, request, rows, path, query);
}

std::string ListJson(const ListPlan& plan, const ListRequest& request, const ListRows& rows) {
    using Json = nlohmann::ordered_json;
    Json list = Json::array();
    for (const SqlRow& row : rows.rows) {
        Json item = Json::object();
        for (size_t i = 0; i < plan.columns.size(); ++i) {
            const ListColumn& column = plan.columns[i];
            if (row.IsNull(i)) {
                item[column.key] = nullptr;
            } else if (column.kind == CellKind::Number) {
                item[column.key] = row.Int(i);
            } else {
                item[column.key] = row.Text(i);
            }
        }
        list.push_back(item);
    }
    const Json json = {{"total", rows.total}, {"pagina", request.page}, {"por_pagina", request.pageSize},
                       {"filas", list}};
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CsvCell(const std::string& text, bool number) {
    if (number) return text;
    const bool formula = !text.empty() && std::string("=+-@\t\r").find(text.front()) != std::string::npos;
    std::string cell = formula ? "'" + text : text;
    if (!formula && cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string quoted = "\"";
    for (const char c : cell) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string ListCsv(const ListPlan& plan, const ListRows& rows) {
    std::string csv = "\xEF\xBB\xBF";
    std::string line;
    for (const ListColumn& column : plan.columns) line += (line.empty() ? "" : ",") + CsvCell(column.label, false);
    csv += line + "\r\n";
    for (const SqlRow& row : rows.rows) {
        line.clear();
        for (size_t i = 0; i < plan.columns.size(); ++i) {
            if (i > 0) line += ",";
            const bool number = plan.columns[i].kind == CellKind::Number && !row.IsNull(i);
            line += CsvCell(row.IsNull(i) ? std::string() : (number ? std::to_string(row.Int(i)) : row.Text(i)), number);
        }
        csv += line + "\r\n";
    }
    return csv;
}
