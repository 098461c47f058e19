#include "rollouts/fleet_requests.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "agents/contract.h"
#include "agents/data_folder.h"
#include "agents/file_hashes.h"
#include "agents/served_files.h"
#include "app/catalogue.h"
#include "rollouts/rollout_rules.h"
#include "signing/package_signing.h"
#include "signing/release_statements.h"

namespace {

bool IsVersion(const std::string& text) {
    return contract::IsProgramVersion(text);
}

// 525600 -> "525.600", as the console writes numbers.
std::string Thousands(long long value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0 && digits.size() >= 4; at -= 3) {
        digits.insert(static_cast<size_t>(at), ".");
    }
    return digits;
}

// Letters changed, added or taken away from one text to the other.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A whole number from `min` to `max`, or `fallback` when not given.
bool Whole(const FieldOf& field, const std::string& name, long long fallback, long long min, long long max,
           long long& value, RequestError& error) {
    const std::string text = field(name);
    if (text.empty()) {
        value = fallback;
        return true;
    }
    if (text.size() <= 15 && text.find_first_not_of("0123456789") == std::string::npos) {
        value = std::strtoll(text.c_str(), nullptr, 10);
        if (value >= min && value <= max) return true;
    }
    error = {name, "debe ser un número entero de " + Thousands(min) + " a " + Thousands(max), true};
    return false;
}

std::vector<std::string> SplitList(const std::string& text, bool lower) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        std::string part = text.substr(start, end - start);
        while (!part.empty() && part.front() == ' ') part.erase(part.begin());
        while (!part.empty() && part.back() == ' ') part.pop_back();
        if (lower) {
            for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (!part.empty()) parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

bool DescribeServedFile(const std::string& dataRoot, const std::string& file, const std::string& downloadHost,
                        Release& release, RequestError& error) {
    std::string path = file.rfind("archivos/", 0) == 0 ? file.substr(8) : file;
    if (path.empty() || path[0] != '/') path = "/" + path;
    // Offered as written: a name that an address would have to escape (a
    // blank, '#', '?', '%', a line break) would break every download.
    if (!contract::IsPlainStaticPath(path)) {
        error = {"file",
                 "el archivo debe estar bajo paquetes/ (u otra carpeta servida) con un nombre de letras sin "
                 "tildes, cifras, '.', '_' y '-': " + path};
        return false;
    }
    const int fd = OpenServedFile(DataFolder{dataRoot}, path);
    if (fd < 0) {
        error = {"file", "no se sirve ningún archivo " + path + " desde archivos/"};
        return false;
    }
    struct stat info = {};
    std::string hex;
    const bool ok = fstat(fd, &info) == 0 && Sha256OfDescriptor(fd, hex);
    close(fd);
    if (!ok) {
        error = {"file", "no se pudo leer " + path};
        return false;
    }
    release.url = "https://" + downloadHost + path;
    release.servedPath = path;
    release.size = static_cast<uint64_t>(info.st_size);
    release.sha256 = hex;
    return true;
}

// The release's statement (what `signing statement` printed) must state
// this very release: a program's package, of its product and version,
// under the name its address ends in, of its size and SHA-256. The
// signature is the agents' to check; the service holds no key.
bool TakeStatement(const std::string& line, Release& release, RequestError& error) {
    ReleaseStatement stated;
    std::string reason;
    error.field = "statement";
    if (!ReadStatementLine(line, stated, reason) ||
        !ParseStatementMembersJson(line, release.statement, release.statementSignature)) {
        error.text = "la declaración debe ser la línea que imprime `signing statement`";
        return false;
    }
    const std::string name = release.url.substr(release.url.rfind('/') + 1);
    if (stated.kind != StatementKind::Program) {
        error.text = std::string("la declaración es de tipo ") + StatementKindName(stated.kind) + ", no de programa";
    } else if (stated.product != release.product) {
        error.text = "la declaración es de otro producto (" + stated.product + ")";
    } else if (stated.version != release.version) {
        error.text = "la declaración es de otra versión (" + stated.version + ")";
    } else if (stated.fileName != name) {
        error.text = "la declaración nombra otro archivo (" + stated.fileName + ", no " + name + ")";
    } else if (stated.size != release.size) {
        error.text = "la declaración da otro tamaño (" + std::to_string(stated.size) + " bytes, no " +
                     std::to_string(release.size) + ")";
    } else if (stated.sha256 != release.sha256) {
        error.text = "la declaración da otro SHA-256 (" + stated.sha256 + ")";
    }
    if (!error.text.empty()) {
        release.statement.clear();
        release.statementSignature.clear();
        return false;
    }
    error.field.clear();
    return true;
}

bool Refuse(RequestError& error, const std::string& field, const std::string& text) {
    error = {field, text, false};
    return false;
}

bool ReadReleaseFile(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                     Release& release, RequestError& error) {
    release.product = field("product");
    release.version = field("version");
    if (!IsProductKeyName(release.product)) {
        return Refuse(error, "product", "el producto debe ser una clave de producto (letras, cifras, _ y -)");
    }
    if (!IsVersion(release.version)) {
        return Refuse(error, "version",
                      "la versión debe ser de uno a cuatro números separados por puntos, cada uno de 0 a 65535");
    }
    release.signature = field("signature");
    if (!release.signature.empty() && !IsSignatureText(release.signature)) {
        return Refuse(error, "signature", "la firma debe ser la que imprime `signing sign` (base64 de 64 bytes)");
    }
    const std::string file = field("file");
    const std::string url = field("url");
    if (file.empty() == url.empty()) {
        return Refuse(error, "file", "indique un archivo servido aquí o una dirección externa, no ambos");
    }
    if (!file.empty()) return DescribeServedFile(dataRoot, file, downloadHost, release, error);
    release.url = url;
    release.sha256 = field("sha256");
    if (url.rfind("https://", 0) != 0 || url.find_first_of(" \"<>\\\r\n") != std::string::npos) {
        return Refuse(error, "url", "la dirección externa debe ser https://");
    }
    if (!IsSha256Hex(release.sha256)) {
        return Refuse(error, "sha256", "el SHA-256 debe tener 64 cifras hexadecimales en minúsculas");
    }
    long long size = 0;
    if (field("size").empty()) return Refuse(error, "size", "indique los bytes del paquete");
    if (!Whole(field, "size", 0, 1, 1LL << 40, size, error)) return false;
    release.size = static_cast<uint64_t>(size);
    return true;
}

}  // namespace

bool ReadReleaseRequest(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                        Release& release, RequestError& error) {
    if (!ReadReleaseFile(field, dataRoot, downloadHost, release, error)) return false;
    const std::string statement = field("statement");
    return statement.empty() || TakeStatement(statement, release, error);
}

std::vector<std::string> CatalogueProducts() {
    std::vector<std::string> products;
    products.reserve(std::size(ProductCatalogue));
    for (const ProductEntry& entry : ProductCatalogue) products.emplace_back(entry.productKey);
    return products;
}

bool IsKnownProduct(const std::string& product, const std::vector<std::string>& others, std::string& nearest) {
    std::vector<std::string> known = CatalogueProducts();
    known.insert(known.end(), others.begin(), others.end());
    if (std::find(known.begin(), known.end(), product) != known.end()) return true;
    size_t best = 4;  // a few letters away at most
    nearest.clear();
    for (const std::string& key : known) {
        const size_t distance = EditDistance(product, key);
        if (distance < best) best = distance, nearest = key;
    }
    return false;
}

bool ReadRolloutRequest(const FieldOf& field, long long& releaseId, Rollout& rollout, RequestError& error) {
    if (field("release").empty()) return Refuse(error, "release", "indique la versión que se despliega");
    if (!Whole(field, "release", 0, 1, 1LL << 50, releaseId, error)) return false;
    Targeting& targeting = rollout.targeting;
    targeting.versions = SplitList(field("replaces"), false);
    targeting.from = field("from");
    targeting.to = field("to");
    for (const std::string& version : targeting.versions) {
        if (!IsVersion(version)) {
            return Refuse(error, "replaces", "«" + version + "» no es una versión (de uno a cuatro números de 0 a 65535)");
        }
    }
    if (!targeting.from.empty() && !IsVersion(targeting.from)) {
        return Refuse(error, "from", "el rango empieza en «" + targeting.from + "», que no es una versión");
    }
    if (!targeting.to.empty() && !IsVersion(targeting.to)) {
        return Refuse(error, "to", "el rango acaba en «" + targeting.to + "», que no es una versión");
    }
    if (targeting.versions.empty() && targeting.from.empty() && targeting.to.empty()) {
        return Refuse(error, "replaces", "indique a qué versiones sustituye (una lista, o un rango)");
    }
    RolloutSettings& settings = rollout.settings;
    settings.pilotHosts = SplitList(field("pilot"), true);
    std::vector<double> percents;
    const std::string stages = field("stages");
    if (!ParsePercents(stages.empty() ? "1,10,50,100" : stages, percents)) {
        return Refuse(error, "stages", "las etapas son porcentajes crecientes hasta 100, como 1,10,50,100");
    }
    settings.stages = StagesOf(percents, !settings.pilotHosts.empty());
    long long minOutcomes = 0, maxFailures = 0, percent = 0, soakMinutes = 0, soakSeconds = 0, retry = 0, attempts = 0,
              minNetworks = 0, networkWeight = 0, minAgeDays = 0, minDaysSeen = 0;
    const RolloutSettings defaults;
    if (!Whole(field, "min-outcomes", defaults.minOutcomes, 1, 1000000, minOutcomes, error) ||
        !Whole(field, "max-failures", defaults.maxFailures, 0, 1000000, maxFailures, error) ||
        !Whole(field, "max-failure-percent", static_cast<long long>(defaults.maxFailureRate * 100), 0, 100, percent,
               error) ||
        !Whole(field, "soak-minutes", 60, 0, 525600, soakMinutes, error) ||
        !Whole(field, "soak-seconds", soakMinutes * 60, 0, 31536000, soakSeconds, error) ||
        !Whole(field, "retry-hours", 24, 0, 8760, retry, error) ||
        !Whole(field, "max-attempts", 3, 1, 100, attempts, error) ||
        !Whole(field, "min-networks", defaults.minNetworks, 1, 1000000, minNetworks, error) ||
        !Whole(field, "network-weight", defaults.networkWeight, 0, 1000000, networkWeight, error) ||
        !Whole(field, "min-age-days", defaults.minAgeDays, 0, 3650, minAgeDays, error) ||
        !Whole(field, "min-days-seen", defaults.minDaysSeen, 0, 3650, minDaysSeen, error)) {
        return false;
    }
    settings.minOutcomes = static_cast<int>(minOutcomes);
    settings.maxFailures = static_cast<int>(maxFailures);
    settings.maxFailureRate = static_cast<double>(percent) / 100.0;
    settings.soakSeconds = static_cast<int>(soakSeconds);
    settings.autoAdvance = field("manual").empty();
    settings.retryPauseSeconds = static_cast<int>(retry * 3600);
    settings.maxAttempts = static_cast<int>(attempts);
    settings.minNetworks = static_cast<int>(minNetworks);
    settings.networkWeight = static_cast<int>(networkWeight);
    settings.minAgeDays = static_cast<int>(minAgeDays);
    settings.minDaysSeen = static_cast<int>(minDaysSeen);
    return true;
}
