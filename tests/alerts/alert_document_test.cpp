#include "alerts/alert_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Everything the parser fills, as one comparable text.
std::string Describe(const AlertDocument& d) {
    std::string out = d.title + "|" + d.pageColour + "|" + d.titleBandColour + "|" + d.titleTextColour;
    for (const AlertItem& item : d.items) {
        out += "\n[" + item.kindName + "|" + std::to_string(item.columns) + "]";
        for (const AlertCell& c : item.cells) {
            out += " {" + c.text + "|" + c.link + "|" + c.background + "|" + c.foreground + "|" +
                   (c.hasImageUrl ? "img:" + c.imageUrl : "-") + "}";
        }
    }
    return out;
}

AlertDocument Parsed(const std::string& text) {
    AlertDocument document;
    EXPECT_TRUE(ParseAlertDocument(text, document)) << text;
    return document;
}

const char* const kFullDocument = R"({
  "titulo": "Novedades",
  "color_fondo": "#F0F0F0", "color_titulo_fondo": "#102030", "color_titulo_texto": "#ABCDEF",
  "alertas": [
    {"tipo": "boton_multiple", "columnas": "2", "contenido": [
      {"texto": "Uno", "enlace": "https://a.example/1", "color_fondo": "#FF0000", "color_texto": "#00FF00",
       "imagen": "https://i.example/1.png"},
      {"texto": "Dos"}
    ]},
    {"tipo": "url_actualizar", "contenido": [{"enlace": "https://d.example/p.zip"}]}
  ]
})";

}  // namespace

TEST(AlertDocument, ReadsEveryField) {
    EXPECT_EQ(Describe(Parsed(kFullDocument)),
              "Novedades|#F0F0F0|#102030|#ABCDEF\n"
              "[boton_multiple|2] {Uno|https://a.example/1|#FF0000|#00FF00|img:https://i.example/1.png}"
              " {Dos||#FFFFFF|#000000|-}\n"
              "[url_actualizar|1] {|https://d.example/p.zip|#FFFFFF|#000000|-}");
}

TEST(AlertDocument, AbsentKeysGiveDefaults) {
    EXPECT_EQ(Describe(Parsed("{}")), "Alertas|#FFFFFF|#0078D7|#FFFFFF");
    EXPECT_EQ(Describe(Parsed(R"({"alertas": []})")), "Alertas|#FFFFFF|#0078D7|#FFFFFF");
    EXPECT_EQ(Describe(Parsed(R"({"titulo": "", "alertas": [{}, {"tipo": "x", "contenido": [{}]}]})")),
              "|#FFFFFF|#0078D7|#FFFFFF\n[|1]\n[x|1] {||#FFFFFF|#000000|-}");
}

TEST(AlertDocument, KeysOfOtherTypesThatAreNotErrors) {
    EXPECT_TRUE(Parsed(R"({"alertas": 5})").items.empty());
    EXPECT_TRUE(Parsed(R"({"alertas": {"tipo": "boton_unico"}})").items.empty());
    EXPECT_TRUE(Parsed(R"({"alertas": [{"contenido": "x"}]})").items.at(0).cells.empty());
    EXPECT_EQ(
        Describe(Parsed(R"({"alertas": [{"contenido": [{"imagen": 5}, {"imagen": null}, {"imagen": ["u"]}]}]})")),
        "Alertas|#FFFFFF|#0078D7|#FFFFFF\n[|1] {||#FFFFFF|#000000|-} {||#FFFFFF|#000000|-} {||#FFFFFF|#000000|-}");
    const AlertCell empty = Parsed(R"({"alertas": [{"contenido": [{"imagen": ""}]}]})").items.at(0).cells.at(0);
    EXPECT_TRUE(empty.hasImageUrl);
    EXPECT_EQ(empty.imageUrl, "");
}

TEST(AlertDocument, ColumnsAreReadLikeStrtol) {
    const struct {
        const char* json;
        int32_t columns;
    } cases[] = {
        {R"("3")", 3},
        {"3", 1},
        {R"("0")", 1},
        {R"("-2")", 1},
        {R"("2x")", 2},
        {R"("abc")", 1},
        {R"("99999999999")", 1},
        {R"("")", 1},
        {R"(" \t\n+7")", 7},
        {R"("3.9")", 3},
        {R"("- 4")", 1},
        {R"("0x10")", 1},
        {R"("0005")", 5},
        {R"("2147483647")", 2147483647},
        {R"("2147483648")", 1},
        {R"("-2147483648")", 1},
        {R"("-2147483649")", 1},
        {R"("\u00002")", 1},
        {"null", 1},
        {"[\"3\"]", 1},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(R"({"alertas": [{"columnas": )") + c.json + "}]}";
        EXPECT_EQ(Parsed(text).items.at(0).columns, c.columns) << c.json;
    }
}

TEST(AlertDocument, StringsKeepTheirUtf8Bytes) {
    const AlertDocument d = Parsed(
        "{\"titulo\": \"Actualizaci\\u00f3n \\u20ac\", \"alertas\": [{\"contenido\": [{\"texto\": \"a\xc3\xb1o\"}]}]}");
    EXPECT_EQ(d.title, "Actualizaci\xc3\xb3n \xe2\x82\xac");
    EXPECT_EQ(d.items.at(0).cells.at(0).text, "a\xc3\xb1o");
}

TEST(AlertDocument, OnlyTheFirstValueIsRead) {
    EXPECT_EQ(Parsed(R"({"titulo": "T"} tail, not JSON {)").title, "T");
    EXPECT_EQ(Parsed("  \r\n{\"titulo\": \"T\"}{\"titulo\": \"U\"}").title, "T");
    EXPECT_EQ(Parsed("{\"titulo\": \"T\"}\n// a comment after the value\n\xff").title, "T");
}

TEST(AlertDocument, RejectedTextsLeaveTheDocumentAsItWas) {
    const char* const texts[] = {
        // Not JSON, or more than JSON.
        "",
        "   ",
        "{",
        R"({"titulo": "a",})",
        R"({"alertas": [{},]})",
        R"({"alertas": [{"contenido": [{"texto": "a",}]}]})",
        "/* c */ {}",
        "// c\n{}",
        R"({"titulo": /* c */ "a"})",
        "{\"titulo\": \"\xff\"}",
        "{\"titulo\": \"\xc3\"}",
        R"({"alertas": [{"tipo": "boton_unico", "contenido": [{"texto": "trun)",
        R"({'titulo': 'a'})",
        R"({"titulo": "a\q"})",
        "{\"titulo\": \"a\x01\"}",
        "\xef\xbb",
        R"({"n": 1e999})",
        // JSON of the wrong shape.
        "[]",
        R"("texto")",
        "17",
        "null",
        R"({"titulo": 1})",
        R"({"titulo": null})",
        R"({"color_fondo": ["#000000"]})",
        R"({"color_titulo_fondo": {}})",
        R"({"color_titulo_texto": true})",
        R"({"alertas": [1]})",
        R"({"alertas": [{}, []]})",
        R"({"alertas": [{"tipo": 4}]})",
        R"({"alertas": [{"contenido": ["x"]}]})",
        R"({"alertas": [{"contenido": [{}, null]}]})",
        R"({"alertas": [{"contenido": [{"texto": 1}]}]})",
        R"({"alertas": [{"contenido": [{"enlace": false}]}]})",
        R"({"alertas": [{"contenido": [{"color_fondo": 0}]}]})",
        R"({"alertas": [{"contenido": [{"color_texto": []}]}]})",
    };
    for (const char* text : texts) {
        AlertDocument d = Parsed(kFullDocument);
        const std::string before = Describe(d);
        EXPECT_FALSE(ParseAlertDocument(text, d)) << text;
        EXPECT_EQ(Describe(d), before) << text;
    }
}

TEST(AlertDocument, ColoursChangeOnlyWhereNamedAndTheTitleFallsBack) {
    AlertDocument d = Parsed(kFullDocument);
    ASSERT_TRUE(ParseAlertDocument(R"({"color_titulo_fondo": "#000001"})", d));
    EXPECT_EQ(Describe(d), "Alertas|#F0F0F0|#000001|#ABCDEF");
}

TEST(AlertDocument, DeepNestingAndLongArrays) {
    const int depth = 100000;
    const std::string deep = std::string(R"({"x": )") + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(Describe(Parsed(deep)), "Alertas|#FFFFFF|#0078D7|#FFFFFF");
    AlertDocument d;
    EXPECT_FALSE(ParseAlertDocument(deep.substr(0, deep.size() - 1), d));
    EXPECT_FALSE(ParseAlertDocument(std::string(R"({"alertas": )") + std::string(depth, '['), d));
    EXPECT_FALSE(ParseAlertDocument(std::string(depth, '{'), d));

    std::string wide = R"({"alertas": [{"contenido": [{})";
    for (int i = 1; i < 100000; ++i) wide += ",{}";
    wide += "]}]}";
    EXPECT_EQ(Parsed(wide).items.at(0).cells.size(), 100000u);
}

TEST(AlertKind, ExactCaseSensitiveNames) {
    const struct {
        const char* name;
        AlertKind kind;
    } cases[] = {
        {"boton_multiple", AlertKind::MultipleButtons},
        {"boton_unico", AlertKind::SingleButton},
        {"solo_mensaje", AlertKind::MessageOnly},
        {"documento_rtf", AlertKind::RtfDocument},
        {"url_actualizar", AlertKind::UpdateOffer},
        {"Boton_unico", AlertKind::Other},
        {"boton_unico ", AlertKind::Other},
        {"", AlertKind::Other},
        {"DOCUMENTO_RTF", AlertKind::Other},
    };
    for (const auto& c : cases) {
        AlertItem item;
        item.kindName = c.name;
        EXPECT_EQ(KindOf(item), c.kind) << c.name;
    }
}

TEST(ColourFromString, HexPairsOrWhite) {
    const struct {
        const char* text;
        uint32_t argb;
    } cases[] = {
        {"#00ff00", 0xFF00FF00u}, {"#0078D7", 0xFF0078D7u}, {"#abcdef", 0xFFABCDEFu},  {"#ABCDEF", 0xFFABCDEFu},
        {"#GG00zz", 0xFF000000u}, {"#1G2H3I", 0xFF102030u}, {"#G1H2I3", 0xFF010203u},  {"#000000", 0xFF000000u},
        {"#123", 0xFFFFFFFFu},    {"", 0xFFFFFFFFu},        {"#1234567", 0xFFFFFFFFu}, {"1234567", 0xFFFFFFFFu},
        {"#12345", 0xFFFFFFFFu},  {" #12345", 0xFFFFFFFFu},
    };
    for (const auto& c : cases) EXPECT_EQ(ColourFromString(c.text), c.argb) << c.text;
}

TEST(AlertDocument, Sha256AndSignatureArePresentWheneverTheKeyIs) {
    struct Row {
        const char* value;
        const char* read;
    };
    const Row rows[] = {
        {R"("AbC0")", "AbC0"},
        {R"("")", ""},
        // Other types do not reject the document: present, and malformed,
        // standing as one fixed marker whatever the value was.
        {"12", "NO_ES_TEXTO"},
        {"null", "NO_ES_TEXTO"},
        {R"(["ab"])", "NO_ES_TEXTO"},
        {R"({"a": [1, {"b": 2}]})", "NO_ES_TEXTO"},
    };
    const std::string head = R"({"alertas": [{"tipo": "url_actualizar", "contenido": [)";
    const AlertCell bare = Parsed(head + R"({"enlace": "u"}]}]})").items.at(0).cells.at(0);
    EXPECT_FALSE(bare.hasSha256);
    EXPECT_FALSE(bare.hasSignature);
    for (const Row& row : rows) {
        const AlertCell hashed = Parsed(head + R"({"sha256": )" + row.value + "}]}]}").items.at(0).cells.at(0);
        EXPECT_TRUE(hashed.hasSha256) << row.value;
        EXPECT_EQ(hashed.sha256, row.read) << row.value;
        EXPECT_FALSE(hashed.hasSignature) << row.value;
        const AlertCell signed_ = Parsed(head + R"({"sha256": "ab", "firma": )" + row.value + "}]}]}").items.at(0).cells.at(0);
        EXPECT_TRUE(signed_.hasSignature) << row.value;
        EXPECT_EQ(signed_.signature, row.read) << row.value;
        EXPECT_EQ(signed_.sha256, "ab") << row.value;
    }
}

// A hostile answer: values nested 150,000 deep in every member of a cell and
// of an item. Nothing made of the parsed document may recurse on its depth
// (a stack overflow would end the agent at every start).
TEST(AlertDocument, DeeplyNestedValuesNeitherCrashNorLeakTheirText) {
    const std::string deep = std::string(150000, '[') + std::string(150000, ']');
    const std::string head = R"({"alertas": [{"tipo": "url_actualizar", "contenido": [{"enlace": "u", )";
    const AlertCell cell = Parsed(head + R"("sha256": )" + deep + "}]}]}").items.at(0).cells.at(0);
    EXPECT_TRUE(cell.hasSha256);
    EXPECT_EQ(cell.sha256, "NO_ES_TEXTO");
    EXPECT_EQ(cell.link, "u");
    // "imagen" of another type is ignored; the other members must be strings.
    const AlertCell ignored = Parsed(head + R"("imagen": )" + deep + "}]}]}").items.at(0).cells.at(0);
    EXPECT_FALSE(ignored.hasImageUrl);
    EXPECT_EQ(Parsed(R"({"alertas": [{"columnas": )" + deep + "}]}").items.at(0).columns, 1);
    for (const char* member : {"texto", "enlace", "color_fondo", "color_texto"}) {
        AlertDocument document;
        EXPECT_FALSE(ParseAlertDocument(head + "\"" + member + "\": " + deep + "}]}]}", document)) << member;
    }
    AlertDocument document;
    EXPECT_FALSE(ParseAlertDocument(R"({"alertas": [{"tipo": )" + deep + "}]}", document));
    EXPECT_FALSE(ParseAlertDocument(R"({"alertas": [{"contenido": )" + deep + "}]}", document));
}
