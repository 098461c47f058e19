// The agent's own update check and hand-over to its replacement batch file.
#pragma once
#include <string>

// True when a replacement was handed to the batch file and the process must end.
bool CheckSelfUpdate(const std::wstring& appFolder);
