#include "report_parsing.h"

#include <cstdint>
#include <nlohmann/json.hpp>

namespace {

// Bounds of what an agent sends, from what Windows lets it hold (UTF-16
// units become at most 3 bytes of UTF-8 each):
constexpr size_t ProductKeyBytes = 64;  // the product keys the service serves (data_folder.h)
// A program's version resource is four 16-bit numbers, "65535.65535.65535.65535";
// the agent sends "No disponible" when there is none.
constexpr size_t VersionBytes = 23;
// Windows' version as the agent writes it, four 32-bit numbers.
constexpr size_t WindowsVersionBytes = 43;
// A computer's name: 15 UTF-16 units as NetBIOS knows it (what the agent
// sends), at most 255 as a DNS name.
constexpr size_t HostNameBytes = 255;
// A path: MAX_PATH is 260 UTF-16 units (780 bytes), and the agent names the
// program within a folder of that length.
constexpr size_t PathBytes = 1024;
// WinINet's longest address, INTERNET_MAX_URL_LENGTH: 2083 characters.
constexpr size_t UrlBytes = size_t{3} * 2083;
// A time stamp "YYYY-MM-DDThh:mm:ssZ", read by the agent into 64 bytes.
constexpr size_t StampBytes = 63;
// The agent's own words for results and steps ("INSTALACION_FALLIDA").
constexpr size_t WordBytes = 64;
// An error text: the agent's are fixed and short; Windows' system messages
// (FormatMessage) stay well under this.
constexpr size_t MessageBytes = 2048;
// A report's id (an agent's is a UUID, 36 bytes); indexed unique.
constexpr size_t IdBytes = 128;

constexpr long long Int32Min = -2147483648LL;
constexpr long long Int32Max = 2147483647LL;
constexpr long long Uint32Max = 4294967295LL;

constexpr ReportColumn TextColumn(const char* member, size_t maxBytes) {
    return ReportColumn{member, false, maxBytes, 0, 0};
}

const std::vector<ReportColumn>& CheckInColumns() {
    static const std::vector<ReportColumn> columns = {
        TextColumn("actualizador_version", VersionBytes),
        TextColumn("Programa", ProductKeyBytes),
        TextColumn("Version", VersionBytes),
        TextColumn("hostname", HostNameBytes),
        TextColumn("windows_version", WindowsVersionBytes),
        TextColumn("installed_path", PathBytes),
        TextColumn("last_update_at", StampBytes),
    };
    return columns;
}

const std::vector<ReportColumn>& UpdateColumns() {
    static const std::vector<ReportColumn> columns = {
        TextColumn("Programa", ProductKeyBytes),
        TextColumn("version_anterior", VersionBytes),
        TextColumn("version_nueva", VersionBytes),
        TextColumn("url_parche", UrlBytes),
        TextColumn("resultado", WordBytes),
        // A Windows error code or HRESULT: 32 bits, written signed or not.
        ReportColumn{"codigo_error", true, 0, Int32Min, Uint32Max},
        TextColumn("mensaje_error", MessageBytes),
        TextColumn("paso_fallido", WordBytes),
        ReportColumn{"duracion_segundos", true, 0, Int32Min, Int32Max},  // the agent's 32-bit count
        TextColumn("report_id", IdBytes),
    };
    return columns;
}

const std::vector<ReportColumn>& AcceptanceColumns() {
    static const std::vector<ReportColumn> columns = {
        TextColumn("Programa", ProductKeyBytes),
        TextColumn("rtf_url", UrlBytes),
        TextColumn("acceptance_id", IdBytes),
    };
    return columns;
}

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
bool ReadColumn(const ReportColumn& column, const nlohmann::json& member, ColumnValue& value, std::string& error) {
    const std::string name = std::string("el miembro \"") + column.member + "\"";
    if (column.integer) {
        if (!member.is_number_integer()) {
            error = name + " debe ser un numero entero";
            return false;
        }
        const bool tooLarge = member.is_number_unsigned() && member.get<uint64_t>() > uint64_t{INT64_MAX};
        if (tooLarge || member.get<long long>() < column.minNumber || member.get<long long>() > column.maxNumber) {
            error = name + " debe estar entre " + std::to_string(column.minNumber) + " y " +
                    std::to_string(column.maxNumber);
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
        if (value.text.size() > column.maxBytes) {
            error = name + " supera los " + std::to_string(column.maxBytes) + " bytes";
            return false;
        }
    }
    value.present = true;
    return true;
}

}  // namespace

const std::vector<ReportColumn>& ColumnsOf(ReportKind kind) {
    switch (kind) {
        case ReportKind::CheckIn:
            return CheckInColumns();
        case ReportKind::Update:
            return UpdateColumns();
        case ReportKind::Acceptance:
            break;
    }
    return AcceptanceColumns();
}

size_t MaxBodyBytes(ReportKind kind) {
    size_t bytes = 1024;
    for (const ReportColumn& column : ColumnsOf(kind)) bytes += 2 * (column.integer ? 20 : column.maxBytes) + 32;
    return bytes;
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
    for (const ReportColumn& column : ColumnsOf(kind)) {
        ColumnValue value;
        const auto member = document.find(column.member);
        if (member != document.end() && !member->is_null() && !ReadColumn(column, *member, value, error)) return false;
        report.columns.push_back(value);
    }
    return true;
}
