#include "update/start_watch_rules.h"

#include <vector>

namespace {

struct Field {
    const char* key;
    std::string PendingStartWatch::*text;
    bool PendingStartWatch::*flag;
};

const Field Fields[] = {
    {"programa", &PendingStartWatch::exeName, nullptr},
    {"copia_anterior", &PendingStartWatch::previousCopy, nullptr},
    {"producto", &PendingStartWatch::productKey, nullptr},
    {"clave", &PendingStartWatch::settingsKey, nullptr},
    {"version_anterior", &PendingStartWatch::previousVersion, nullptr},
    {"version_nueva", &PendingStartWatch::newVersion, nullptr},
    {"url", &PendingStartWatch::url, nullptr},
    {"zip", nullptr, &PendingStartWatch::zipPackage},
    {"restaurado", nullptr, &PendingStartWatch::restored},
};

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

bool StartProven(const StartObservation& observation) {
    if (!observation.launched) return false;
    return !observation.ended || observation.exitCode == 0;
}

bool StartInterrupted(const StartObservation& observation) {
    return !StartProven(observation) && observation.launched && observation.stoppedMeanwhile;
}

unsigned long StartFailureCode(const StartObservation& observation) {
    return observation.launched ? observation.exitCode : observation.launchCode;
}

std::string PendingStartWatchText(const PendingStartWatch& watch) {
    std::string text;
    for (const Field& field : Fields) {
        const std::string value =
            field.text != nullptr ? watch.*field.text : std::string(watch.*field.flag ? "1" : "0");
        text += std::string(field.key) + "=" + (HasLineBreak(value) ? std::string() : value) + "\n";
    }
    return text;
}

bool ParsePendingStartWatch(const std::string& text, PendingStartWatch& watch) {
    if (text.size() > PendingStartWatchLimit) return false;
    PendingStartWatch read;
    size_t at = 0;
    for (const Field& field : Fields) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::string prefix = std::string(field.key) + "=";
        if (line.compare(0, prefix.size(), prefix) != 0 || line.find('\r') != std::string::npos) return false;
        const std::string value = line.substr(prefix.size());
        if (field.text != nullptr) {
            read.*field.text = value;
        } else if (value == "0" || value == "1") {
            read.*field.flag = value == "1";
        } else {
            return false;
        }
    }
    if (at != text.size() || read.exeName.empty()) return false;
    watch = read;
    return true;
}
