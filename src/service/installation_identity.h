// Which installation the agent serves, as the reports and the footer need it.
#pragma once
#include <string>

struct InstallationIdentity {
    std::string productKey;
    std::string productVersion;
    std::string exeName;
    std::string settingsKey;
};
