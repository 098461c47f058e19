// The notification document model: what the check-in stored as
// "recibido.json", read into a title, page colours and alert items.
// Platform-neutral: the pictures are loaded by the alerts window layer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class AlertKind {
    MultipleButtons = 0,
    SingleButton = 1,
    MessageOnly = 2,
    RtfDocument = 3,
    UpdateOffer = 4,
    Other = 5
};

// Client rectangle, all edges inclusive; all zeros means "nothing clickable".
struct AlertRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// What a "sha256" or "firma" of another type than string reads as.
inline constexpr char MalformedSha256Marker[] = "NO_ES_TEXTO";

struct AlertCell {
    std::string text;                    // "texto", UTF-8
    std::string link;                    // "enlace"
    std::string background = "#FFFFFF";  // "color_fondo"
    std::string foreground = "#000000";  // "color_texto"
    std::string imageUrl;                // "imagen" (hasImageUrl: it was a JSON string)
    // "sha256" of an update offer's package. Present whenever the key is:
    // a value of another type than string counts as present but malformed
    // (MalformedSha256Marker stands for it), never as absent.
    std::string sha256;
    // "firma": the vendor's signature of the package, present the same way.
    std::string signature;
    // "declaracion" and "declaracion_firma": the vendor's release statement
    // and its signature (present when "declaracion" is; either read as the
    // marker when of another type).
    std::string statement;
    std::string statementSignature;
    void* image = nullptr;  // the loaded picture (a GDI+ bitmap), owned by the alerts run
    AlertRect hitRect;      // where a click opens the link; set by painting
    bool hasImageUrl = false;
    bool hasSha256 = false;
    bool hasSignature = false;
    bool hasStatement = false;
    bool linkRefused = false;  // a link that is not a web address, journalled once
};

struct AlertItem {
    std::string kindName;  // "tipo"
    int32_t columns = 1;   // "columnas", at least 1
    std::vector<AlertCell> cells;
};

struct AlertDocument {
    std::string title = "Alertas";
    std::string pageColour = "#FFFFFF";
    std::string titleBandColour = "#0078D7";
    std::string titleTextColour = "#FFFFFF";
    std::vector<AlertItem> items;
};

// Parses one JSON value from the start of the bytes (no comments; anything
// after the value is ignored) and fills the document. Returns false, leaving
// the document as it was, when the text is not valid JSON or does not have
// the expected shape (top level not an object, a key of another type than
// expected, an element of "alertas" or "contenido" that is not an object).
bool ParseAlertDocument(const std::string& bytes, AlertDocument& document);

AlertKind KindOf(const AlertItem& item);

// "#RRGGBB" as opaque ARGB (a non-hex digit counts as 0); anything else is white.
uint32_t ColourFromString(const std::string& colour);
