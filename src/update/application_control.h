// Ending the sibling program before an update and starting it afterwards.
#pragma once
#include <string>

void StopApplication(const std::wstring& appFolder, const std::wstring& exeName);
void RelaunchApplication(const std::wstring& appFolder, const std::wstring& exeName);
