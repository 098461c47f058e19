#include "alerts/alert_document.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace {

using Json = nlohmann::json;

// Parses the first JSON value of the bytes; whatever follows it is not read.
// The DOM builder is told not to throw, so a syntax error is only a false.
// The parser and the library's destructor keep their own stacks, so a
// value nested to any depth costs heap, not call stack; nothing below may
// walk, copy or print a value recursively (the copy and dump do).
bool ParseFirstValue(const std::string& bytes, Json& value) {
    Json parsed;
    nlohmann::detail::json_sax_dom_parser<Json> builder(parsed, /*allow_exceptions_=*/false);
    const bool parsedOk = Json::sax_parse(bytes.data(), bytes.data() + bytes.size(), &builder,
                                          Json::input_format_t::json, /*strict=*/false, /*ignore_comments=*/false);
    if (!parsedOk || builder.is_errored()) return false;
    value = std::move(parsed);
    return true;
}

// A string member replaces `out` when present; any other type is a shape error.
bool ReadString(const Json& object, const char* key, std::string& out) {
    const auto member = object.find(key);
    if (member == object.end()) return true;
    const auto* text = member->get_ptr<const Json::string_t*>();
    if (text == nullptr) return false;
    out = *text;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Base-10 conversion with the rules of strtol on a 32-bit long: leading blanks,
// an optional sign, the leading digits; the rest is ignored. No digits or a
// value outside the 32-bit range gives 1, and so does anything below 1.
int32_t ColumnsFromText(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    const size_t firstDigit = at;
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > int64_t{INT32_MAX} + 1) return 1;  // out of range either way; stops the growth
    }
    if (at == firstDigit) return 1;
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return 1;
    return value < 1 ? 1 : static_cast<int32_t>(value);
}

// "columnas" counts only as a JSON string; any other type gives 1.
int32_t ColumnsOf(const Json& item) {
    const auto member = item.find("columnas");
    if (member == item.end()) return 1;
    const auto* text = member->get_ptr<const Json::string_t*>();
    return text == nullptr ? 1 : ColumnsFromText(*text);
}

// The array member `key`, or null when it is absent or of another type.
const Json::array_t* ArrayMember(const Json& object, const char* key) {
    const auto member = object.find(key);
    return member == object.end() ? nullptr : member->get_ptr<const Json::array_t*>();
}

// "sha256" and "firma" never reject the document: a value of another type
// stands as a fixed marker, which the worker then finds malformed. Its own
// text is never made: a hostile value nested deep enough would overflow
// the stack of any printer that recurses on the depth.
void ReadOfferText(const Json& value, const char* key, bool& present, std::string& text) {
    const auto member = value.find(key);
    if (member == value.end()) return;
    present = true;
    const auto* string = member->get_ptr<const Json::string_t*>();
    text = string != nullptr ? *string : std::string(MalformedSha256Marker);
}

bool ReadCell(const Json& value, AlertCell& cell) {
    if (!value.is_object()) return false;
    if (!ReadString(value, "texto", cell.text) || !ReadString(value, "enlace", cell.link) ||
        !ReadString(value, "color_fondo", cell.background) || !ReadString(value, "color_texto", cell.foreground)) {
        return false;
    }
    ReadOfferText(value, "sha256", cell.hasSha256, cell.sha256);
    ReadOfferText(value, "firma", cell.hasSignature, cell.signature);
    ReadOfferText(value, "declaracion", cell.hasStatement, cell.statement);
    bool hasStatementSignature = false;
    ReadOfferText(value, "declaracion_firma", hasStatementSignature, cell.statementSignature);
    const auto image = value.find("imagen");
    if (image != value.end() && image->is_string()) {
        cell.hasImageUrl = true;
        cell.imageUrl = *image->get_ptr<const Json::string_t*>();
    }
    return true;
}

bool ReadItem(const Json& value, AlertItem& item) {
    if (!value.is_object() || !ReadString(value, "tipo", item.kindName)) return false;
    item.columns = ColumnsOf(value);
    const Json::array_t* cells = ArrayMember(value, "contenido");
    if (cells == nullptr) return true;
    item.cells.reserve(cells->size());
    for (const Json& element : *cells) {
        AlertCell cell;
        if (!ReadCell(element, cell)) return false;
        item.cells.push_back(std::move(cell));
    }
    return true;
}

// Fills `document`, which starts as a copy of the colours in use: they change
// only where the text names them, while the title falls back to "Alertas".
bool ReadDocument(const Json& root, AlertDocument& document) {
    if (!root.is_object()) return false;
    if (!ReadString(root, "titulo", document.title) || !ReadString(root, "color_fondo", document.pageColour) ||
        !ReadString(root, "color_titulo_fondo", document.titleBandColour) ||
        !ReadString(root, "color_titulo_texto", document.titleTextColour)) {
        return false;
    }
    const Json::array_t* items = ArrayMember(root, "alertas");
    if (items == nullptr) return true;
    document.items.reserve(items->size());
    for (const Json& element : *items) {
        AlertItem item;
        if (!ReadItem(element, item)) return false;
        document.items.push_back(std::move(item));
    }
    return true;
}

}  // namespace

bool ParseAlertDocument(const std::string& bytes, AlertDocument& document) {
    try {
        Json root;
        if (!ParseFirstValue(bytes, root)) return false;
        AlertDocument next;
        next.pageColour = document.pageColour;
        next.titleBandColour = document.titleBandColour;
        next.titleTextColour = document.titleTextColour;
        if (!ReadDocument(root, next)) return false;
        document = std::move(next);
        return true;
    } catch (...) {  // out of memory: the document stays as it was
        return false;
    }
}

AlertKind KindOf(const AlertItem& item) {
    const std::string& name = item.kindName;
    if (name == "boton_multiple") return AlertKind::MultipleButtons;
    if (name == "boton_unico") return AlertKind::SingleButton;
    if (name == "solo_mensaje") return AlertKind::MessageOnly;
    if (name == "documento_rtf") return AlertKind::RtfDocument;
    if (name == "url_actualizar") return AlertKind::UpdateOffer;
    return AlertKind::Other;
}

namespace {

uint32_t HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    return 0;
}

uint32_t HexPair(const std::string& text, size_t at) {
    return HexDigit(text[at]) * 16 + HexDigit(text[at + 1]);
}

}  // namespace

uint32_t ColourFromString(const std::string& colour) {
    if (colour.size() != 7 || colour[0] != '#') return 0xFFFFFFFFu;
    return 0xFF000000u | HexPair(colour, 1) << 16 | HexPair(colour, 3) << 8 | HexPair(colour, 5);
}
