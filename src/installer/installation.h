// Installation of the agent into a chosen folder: the agent's archive and
// the vendor's statement of it fetched and checked (before the folder is
// touched), the old agent removed, 7za.exe fetched when missing, the
// archive extracted. Failures and success are told in message boxes owned
// by the given window.
#pragma once
#include <windows.h>

#include <string>

// Installs into the folder; on success posts WM_CLOSE to the owner.
void InstallAgentInto(HWND owner, const std::wstring& folder);
