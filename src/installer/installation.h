// Installation of the agent into a chosen folder: old agent removed,
// 7za.exe fetched when missing, the agent's archive fetched and extracted.
// Failures and success are told in message boxes owned by the given window.
#pragma once
#include <windows.h>

#include <string>

// Installs into the folder; on success posts WM_CLOSE to the owner.
void InstallAgentInto(HWND owner, const std::wstring& folder);

// True when the archive was extracted with exit code 0; shows its own
// message box on every failure.
bool DownloadAndExtractAgent(HWND owner, const std::wstring& folder);
