// The package's registro.bat, run elevated after unpacking.
#pragma once
#include <string>

bool FindRegistrationScript(const std::wstring& folder, std::wstring& scriptPath);
void RunRegistrationScript(const std::wstring& appFolder, const std::wstring& extractionFolder);
