// The package's registro.bat, run elevated after unpacking.
#pragma once
#include <string>

// Deletes every registro.bat (any letter case, at any depth, as the search
// for the script goes) left in an extraction folder by an earlier package,
// so that only a script the new package carries is run. Journals each one.
void RemoveEarlierRegistrationScripts(const std::wstring& appFolder, const std::wstring& extractionFolder);

bool FindRegistrationScript(const std::wstring& folder, std::wstring& scriptPath);
void RunRegistrationScript(const std::wstring& appFolder, const std::wstring& extractionFolder);
