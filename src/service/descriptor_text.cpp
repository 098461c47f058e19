#include "service/descriptor_text.h"

#include <cstdio>

#include "service/json_text.h"

namespace {

std::string Member(const char* key, const std::string& value) {
    return std::string("  \"") + key + "\": \"" + JsonEscape(value) + "\"";
}

}  // namespace

std::string DescriptorText(const DescriptorFacts& facts) {
    std::string text = "{\n";
    text += Member("actualizador_version", facts.agentVersion) + ",\n";
    text += Member("Programa", facts.productKey) + ",\n";
    text += Member("Version", facts.productVersion);
    const struct {
        const char* key;
        const std::string& value;
    } optional[] = {{"hostname", facts.hostName},
                    {"windows_version", facts.windowsVersion},
                    {"installed_path", facts.installedPath},
                    {"last_update_at", facts.lastUpdate}};
    for (const auto& member : optional) {
        if (!member.value.empty()) text += ",\n" + Member(member.key, member.value);
    }
    return text + "\n}";
}

std::string SettingsKeyForExe(const std::string& exeName) {
    static const struct {
        const char* exeName;
        const char* settingsKey;
    } table[] = {
        {"mesalto.exe", "SOFTWARE\\VB and VBA Program Settings\\Marvek Mesalto\\Opciones"},
        {"quindel.exe", "SOFTWARE\\VB and VBA Program Settings\\Marvek Quindel\\Opciones"},
        {"olvo.exe", "SOFTWARE\\VB and VBA Program Settings\\Marvek Olvo\\Opciones"},
        {"forjano.exe", "SOFTWARE\\VB and VBA Program Settings\\Marvek Forjano\\Opciones"},
        {"tijeral.exe", "SOFTWARE\\VB and VBA Program Settings\\Marvek Tijerales\\Opciones"},
    };
    for (const auto& entry : table) {
        if (exeName == entry.exeName) return entry.settingsKey;
    }
    return std::string();
}

std::string FileVersionText(std::uint32_t mostSignificant, std::uint32_t leastSignificant) {
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(mostSignificant >> 16),
                  static_cast<int>(mostSignificant & 0xFFFF), static_cast<int>(leastSignificant >> 16),
                  static_cast<int>(leastSignificant & 0xFFFF));
    return text;
}

std::string WindowsVersionFromValues(std::uint32_t major, std::uint32_t minor, const std::string& currentBuild,
                                     std::uint32_t ubr) {
    if (currentBuild.empty() && major == 0) return std::string();
    return std::to_string(major) + "." + std::to_string(minor) + "." + (currentBuild.empty() ? "0" : currentBuild) +
           "." + std::to_string(ubr);
}

std::string UtcStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    char text[64] = {};
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", year, month, day, hour, minute, second);
    return text;
}
