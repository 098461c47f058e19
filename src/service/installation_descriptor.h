// Facts about the installation: versions, host, Windows, paths, the
// last-update stamp, the descriptor posted at check-in and the identity.
#pragma once
#include <string>

#include "service/installation_identity.h"

std::string ProductVersion(const std::wstring& path);               // "" when unreadable
std::string ProductVersionOrUnavailable(const std::wstring& path);  // "No disponible" when unreadable
std::string WindowsVersionText();
std::string HostNameUtf8();
std::string ProductPathUtf8(const std::string& exeName);
std::string ReadLastUpdateStamp(const std::string& settingsKey);
// The UTC stamp under HKCU\<settingsKey>; false, writing nothing, for an empty key.
bool WriteLastUpdateStamp(const std::string& settingsKey);

// Appends the descriptor of catalogue row `row` (0-based) to `out`; false,
// appending nothing, when that row's executable is not in the folder.
bool WriteInstallationDescriptor(const std::wstring& appFolder, int row, std::string& out);

// The first catalogue program (start-up order) beside the running agent;
// an empty record when there is none.
InstallationIdentity GatherInstallationIdentity();
