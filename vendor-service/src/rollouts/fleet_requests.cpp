#include "rollouts/fleet_requests.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "agents/contract.h"
#include "agents/data_folder.h"
#include "agents/file_hashes.h"
#include "agents/served_files.h"
#include "rollouts/rollout_rules.h"
#include "signing/package_signing.h"
#include "signing/release_statements.h"

namespace {

bool IsVersion(const std::string& text) {
    return contract::IsProgramVersion(text);
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A whole number from `min` to `max`, or `fallback` when not given.
bool Whole(const FieldOf& field, const std::string& name, long long fallback, long long min, long long max,
           long long& value, std::string& error) {
    const std::string text = field(name);
    if (text.empty()) {
        value = fallback;
        return true;
    }
    if (text.size() <= 15 && text.find_first_not_of("0123456789") == std::string::npos) {
        value = std::strtoll(text.c_str(), nullptr, 10);
        if (value >= min && value <= max) return true;
    }
    error = "\"" + name + "\" debe ser un numero entero de " + std::to_string(min) + " a " + std::to_string(max);
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
                        Release& release, std::string& error) {
    std::string path = file.rfind("archivos/", 0) == 0 ? file.substr(8) : file;
    if (path.empty() || path[0] != '/') path = "/" + path;
    // Offered as written: a name that an address would have to escape (a
    // blank, '#', '?', '%', a line break) would break every download.
    if (!contract::IsPlainStaticPath(path)) {
        error =
            "el archivo debe estar bajo paquetes/ (u otra carpeta servida) con un nombre de letras sin "
            "tildes, cifras, '.', '_' y '-': " +
            path;
        return false;
    }
    const int fd = OpenServedFile(DataFolder{dataRoot}, path);
    if (fd < 0) {
        error = "no se sirve ningun archivo " + path + " desde archivos/";
        return false;
    }
    struct stat info = {};
    std::string hex;
    const bool ok = fstat(fd, &info) == 0 && Sha256OfDescriptor(fd, hex);
    close(fd);
    if (!ok) {
        error = "no se pudo leer " + path;
        return false;
    }
    release.url = "https://" + downloadHost + path;
    release.servedPath = path;
    release.size = static_cast<uint64_t>(info.st_size);
    release.sha256 = hex;
    return true;
}

}  // namespace

namespace {

// The release's statement (what `signing statement` printed) must state
// this very release: a program's package, of its product and version,
// under the name its address ends in, of its size and SHA-256. The
// signature is the agents' to check; the service holds no key.
bool TakeStatement(const std::string& line, Release& release, std::string& error) {
    ReleaseStatement stated;
    std::string reason;
    if (!ReadStatementLine(line, stated, reason) ||
        !ParseStatementMembersJson(line, release.statement, release.statementSignature)) {
        error = "la declaración debe ser la línea que imprime `signing statement`";
        return false;
    }
    const std::string name = release.url.substr(release.url.rfind('/') + 1);
    if (stated.kind != StatementKind::Program) {
        error = std::string("la declaración es de tipo ") + StatementKindName(stated.kind) + ", no de programa";
    } else if (stated.product != release.product) {
        error = "la declaración es de otro producto (" + stated.product + ")";
    } else if (stated.version != release.version) {
        error = "la declaración es de otra versión (" + stated.version + ")";
    } else if (stated.fileName != name) {
        error = "la declaración nombra otro archivo (" + stated.fileName + ", no " + name + ")";
    } else if (stated.size != release.size) {
        error = "la declaración da otro tamaño (" + std::to_string(stated.size) + " bytes, no " +
                std::to_string(release.size) + ")";
    } else if (stated.sha256 != release.sha256) {
        error = "la declaración da otro SHA-256 (" + stated.sha256 + ")";
    }
    if (!error.empty()) {
        release.statement.clear();
        release.statementSignature.clear();
        return false;
    }
    return true;
}

bool ReadReleaseFile(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                     Release& release, std::string& error);

}  // namespace

bool ReadReleaseRequest(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                        Release& release, std::string& error) {
    if (!ReadReleaseFile(field, dataRoot, downloadHost, release, error)) return false;
    const std::string statement = field("statement");
    return statement.empty() || TakeStatement(statement, release, error);
}

namespace {

bool ReadReleaseFile(const FieldOf& field, const std::string& dataRoot, const std::string& downloadHost,
                     Release& release, std::string& error) {
    release.product = field("product");
    release.version = field("version");
    if (!IsProductKeyName(release.product)) {
        error = "el producto debe ser una clave de producto (letras, cifras, _ y -)";
        return false;
    }
    if (!IsVersion(release.version)) {
        error = "la versión debe ser de uno a cuatro números separados por puntos, cada uno de 0 a 65535";
        return false;
    }
    release.signature = field("signature");
    if (!release.signature.empty() && !IsSignatureText(release.signature)) {
        error = "la firma debe ser la que imprime `signing sign` (base64 de 64 bytes)";
        return false;
    }
    const std::string file = field("file");
    const std::string url = field("url");
    if (file.empty() == url.empty()) {
        error = "indique un archivo servido aqui o una direccion externa, no ambos";
        return false;
    }
    if (!file.empty()) return DescribeServedFile(dataRoot, file, downloadHost, release, error);
    release.url = url;
    release.sha256 = field("sha256");
    if (url.rfind("https://", 0) != 0 || url.find_first_of(" \"<>\\\r\n") != std::string::npos) {
        error = "la direccion externa debe ser https://";
        return false;
    }
    if (!IsSha256Hex(release.sha256)) {
        error = "el SHA-256 debe tener 64 cifras hexadecimales en minusculas";
        return false;
    }
    long long size = 0;
    if (field("size").empty() || !Whole(field, "size", 0, 1, 1LL << 40, size, error)) {
        if (error.empty()) error = "indique los bytes del paquete";
        return false;
    }
    release.size = static_cast<uint64_t>(size);
    return true;
}

}  // namespace

bool ReadRolloutRequest(const FieldOf& field, long long& releaseId, Rollout& rollout, std::string& error) {
    if (field("release").empty() || !Whole(field, "release", 0, 1, 1LL << 50, releaseId, error)) {
        if (error.empty()) error = "indique la version que se despliega";
        return false;
    }
    Targeting& targeting = rollout.targeting;
    targeting.versions = SplitList(field("replaces"), false);
    targeting.from = field("from");
    targeting.to = field("to");
    for (const std::string& version : targeting.versions) {
        if (!IsVersion(version)) {
            error = "\"" + version + "\" no es una versión (de uno a cuatro números de 0 a 65535)";
            return false;
        }
    }
    if ((!targeting.from.empty() && !IsVersion(targeting.from)) || (!targeting.to.empty() && !IsVersion(targeting.to))) {
        error = "los extremos del rango deben ser versiones";
        return false;
    }
    if (targeting.versions.empty() && targeting.from.empty() && targeting.to.empty()) {
        error = "indique a que versiones sustituye (una lista, o un rango)";
        return false;
    }
    RolloutSettings& settings = rollout.settings;
    settings.pilotHosts = SplitList(field("pilot"), true);
    std::vector<double> percents;
    const std::string stages = field("stages");
    if (!ParsePercents(stages.empty() ? "1,10,50,100" : stages, percents)) {
        error = "las etapas son porcentajes crecientes hasta 100, como 1,10,50,100";
        return false;
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
