#include "report_parsing.h"

#include <cstdint>
#include <nlohmann/json.hpp>

namespace {

const std::vector<ColumnSpec> CheckInColumns = {
    {"actualizador_version", false}, {"Programa", false},       {"Version", false},        {"hostname", false},
    {"windows_version", false},      {"installed_path", false}, {"last_update_at", false},
};

const std::vector<ColumnSpec> UpdateColumns = {
    {"Programa", false},         {"version_anterior", false}, {"version_nueva", false}, {"url_parche", false},
    {"resultado", false},        {"codigo_error", true},      {"mensaje_error", false}, {"paso_fallido", false},
    {"duracion_segundos", true}, {"report_id", false, 128},  // an agent's is a UUID; indexed unique
};

const std::vector<ColumnSpec> AcceptanceColumns = {
    {"Programa", false},
    {"rtf_url", false},
    {"acceptance_id", false},
};

// True when no array or object in the text is nested deeper than
// MaxJsonDepth. A plain scan without recursion, so a hostile body cannot
// exhaust the stack here; brackets inside strings do not count.
bool NestingWithinLimit(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MaxJsonDepth) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// One known member into its column; false with the reason.
bool ReadColumn(const ColumnSpec& column, const nlohmann::json& member, ColumnValue& value, std::string& error) {
    const std::string name = std::string("el miembro \"") + column.member + "\"";
    if (column.integer) {
        if (!member.is_number_integer()) {
            error = name + " debe ser un numero entero";
            return false;
        }
        if (member.is_number_unsigned() && member.get<uint64_t>() > uint64_t{INT64_MAX}) {
            error = name + " esta fuera del rango de un entero de 64 bits";
            return false;
        }
        value.number = member.get<long long>();
    } else {
        if (!member.is_string()) {
            error = name + " debe ser texto";
            return false;
        }
        value.text = member.get<std::string>();
        if (value.text.find('\0') != std::string::npos) {
            error = name + " contiene un caracter nulo";
            return false;
        }
        if (column.maxBytes != 0 && value.text.size() > column.maxBytes) {
            error = name + " supera los " + std::to_string(column.maxBytes) + " bytes";
            return false;
        }
    }
    value.present = true;
    return true;
}

}  // namespace

const std::vector<ColumnSpec>& ColumnsOf(ReportKind kind) {
    switch (kind) {
        case ReportKind::CheckIn:
            return CheckInColumns;
        case ReportKind::Update:
            return UpdateColumns;
        case ReportKind::Acceptance:
            break;
    }
    return AcceptanceColumns;
}

const char* TableOf(ReportKind kind) {
    switch (kind) {
        case ReportKind::CheckIn:
            return "checkins";
        case ReportKind::Update:
            return "update_reports";
        case ReportKind::Acceptance:
            break;
    }
    return "acceptance_reports";
}

const char* KindName(ReportKind kind) {
    switch (kind) {
        case ReportKind::CheckIn:
            return "checkin";
        case ReportKind::Update:
            return "update";
        case ReportKind::Acceptance:
            break;
    }
    return "acceptance";
}

bool KindFromName(const std::string& name, ReportKind& kind) {
    for (ReportKind k : {ReportKind::CheckIn, ReportKind::Update, ReportKind::Acceptance}) {
        if (name == KindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

bool ParseReport(ReportKind kind, const std::string& body, ParsedReport& report, std::string& error) {
    // Parsing and storing walk the document recursively: refuse deep nesting first.
    if (!NestingWithinLimit(body)) {
        error = "el cuerpo JSON tiene mas de " + std::to_string(MaxJsonDepth) + " niveles de anidamiento";
        return false;
    }
    const nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        error = "el cuerpo no es un objeto JSON";
        return false;
    }
    report.columns.clear();
    for (const ColumnSpec& column : ColumnsOf(kind)) {
        ColumnValue value;
        const auto member = document.find(column.member);
        if (member != document.end() && !member->is_null() && !ReadColumn(column, *member, value, error)) return false;
        report.columns.push_back(value);
    }
    return true;
}
