#include "console/password_policy.h"

#include <algorithm>
#include <set>
#include <vector>

namespace {

// Stems of the passwords people pick most (lists of leaked passwords, in
// English and Spanish), written without the digits and signs that people
// add at the end to pass a length rule.
const char* const CommonStems[] = {
    "password",   "passw0rd",   "contraseña",    "contrasena",    "clave",    "secreto",      "qwerty",
    "qwertyuiop", "asdfghjkl",  "zxcvbnm",       "qwertz",        "azerty",   "iloveyou",     "teamo",
    "tequiero",   "admin",      "administrator", "administrador", "root",     "letmein",      "welcome",
    "bienvenido", "abc",        "abcd",          "abcdef",        "abcdefgh", "abcdefghijkl", "1qaz2wsx",
    "1q2w3e4r",   "1q2w3e4r5t", "q1w2e3r4",      "monkey",        "dragon",   "football",     "futbol",
    "barcelona",  "realmadrid", "madrid",        "princess",      "princesa", "sunshine",     "superman",
    "batman",     "master",     "shadow",        "trustno",       "changeme", "cambiame",     "marvek",
    "trevanto",   "operador",   "usuario",       "panel",         "servicio", "default",      "test",
    "prueba",     "guest",      "invitado",      "mesalto",       "quindel",  "olvo",         "forjano",
    "tijeral",
};

// Code points of UTF-8 text (a malformed byte counts as one).
std::vector<unsigned> CodePoints(const std::string& text) {
    std::vector<unsigned> points;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
        if (i + length > text.size()) length = 1;
        unsigned point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        points.push_back(point);
        i += length;
    }
    return points;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The password in lower case without what people add at either end:
// digits, blanks and signs.
std::string Stem(const std::string& password) {
    const std::string lower = Lower(password);
    const auto added = [](unsigned char c) { return c < 0x80 && !std::isalpha(c); };
    size_t first = 0, last = lower.size();
    while (first < last && added(static_cast<unsigned char>(lower[first]))) ++first;
    while (last > first && added(static_cast<unsigned char>(lower[last - 1]))) --last;
    return lower.substr(first, last - first);
}

// A run: each character one after the one before, or one before it
// ("123456789012" wraps from 9 to 0; "abcdefghijkl", "987654321098").
bool IsRun(const std::vector<unsigned>& points) {
    for (int step : {1, -1}) {
        bool run = true;
        for (size_t i = 1; i < points.size() && run; ++i) {
            const int delta = static_cast<int>(points[i]) - static_cast<int>(points[i - 1]);
            run = delta == step || (points[i - 1] == (step > 0 ? '9' : '0') && points[i] == (step > 0 ? '0' : '9'));
        }
        if (run) return true;
    }
    return false;
}

}  // namespace

bool AcceptablePassword(const std::string& password, const std::string& operatorName, std::string& reason) {
    const std::vector<unsigned> points = CodePoints(password);
    const std::set<unsigned> distinct(points.begin(), points.end());
    const std::string stem = Stem(password);
    if (points.size() < MinPasswordCharacters) {
        reason = "it needs at least " + std::to_string(MinPasswordCharacters) + " characters";
    } else if (password.size() > MaxPasswordBytes) {
        reason = "it may not be longer than " + std::to_string(MaxPasswordBytes) + " bytes";
    } else if (password.find('\0') != std::string::npos || password.find('\n') != std::string::npos) {
        reason = "it may not hold a NUL character or a line break";
    } else if (distinct.size() < MinDistinctCharacters || IsRun(points)) {
        reason = "it needs at least " + std::to_string(MinDistinctCharacters) +
                 " different characters, and may not be a run (such as 123456789012 or abcdefghijkl)";
    } else if (stem.empty() || stem == Lower(operatorName) ||
               std::any_of(std::begin(CommonStems), std::end(CommonStems),
                           [&stem](const char* common) { return stem == common; })) {
        reason = "it is one of the passwords people pick most, or digits and signs alone, or the operator's name";
    } else {
        return true;
    }
    return false;
}
