// The installation descriptor's text and the facts it is made of. No Win32 here.
#pragma once
#include <cstdint>
#include <string>

inline constexpr char VersionUnavailable[] = "No disponible";
inline constexpr char LastUpdateValueName[] = "TrevantoLastUpdate";

struct DescriptorFacts {
    std::string agentVersion;
    std::string productKey;
    std::string productVersion;  // "No disponible" when unreadable
    std::string hostName;        // optional members: left out when empty
    std::string windowsVersion;
    std::string installedPath;
    std::string lastUpdate;
};

// "{" LF, members with two-space indent, LF "}" and no final LF.
std::string DescriptorText(const DescriptorFacts& facts);

// The per-user settings key (under HKEY_CURRENT_USER) of a catalogue
// program, by its exe name; empty for any other name.
std::string SettingsKeyForExe(const std::string& exeName);

// "a.b.c.d" from the fixed file information's two version halves.
std::string FileVersionText(std::uint32_t mostSignificant, std::uint32_t leastSignificant);

// The Windows version as the descriptor reports it; empty when there is no
// build text and the major number is 0.
std::string WindowsVersionFromValues(std::uint32_t major, std::uint32_t minor, const std::string& currentBuild,
                                     std::uint32_t ubr);

// "YYYY-MM-DDThh:mm:ssZ".
std::string UtcStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);
