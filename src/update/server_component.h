// Refresh of the maker's server component carried in a package as
// "marvekserver.zip": moved beside the application, unpacked over the
// MarvekServer folder with the process and service stopped and restarted.
#pragma once
#include <string>

bool FindFileBySuffix(const std::wstring& folder, const std::wstring& lowerSuffix, std::wstring& path);
bool ExtractServerArchive(const std::wstring& appFolder, const std::wstring& archive, const std::wstring& destination,
                          unsigned long& code);
void RefreshServerComponent(const std::wstring& appFolder, const std::wstring& extractionFolder);
