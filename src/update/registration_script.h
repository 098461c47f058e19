// The package's registro.bat, run elevated after unpacking.
#pragma once
#include <string>

// "registro.bat" in any letter case.
bool IsRegistrationScriptName(const std::wstring& name);

bool FindRegistrationScript(const std::wstring& folder, std::wstring& scriptPath);
void RunRegistrationScript(const std::wstring& appFolder, const std::wstring& extractionFolder);
