// The shell's folder browser for a custom installation folder.
#pragma once
#include <windows.h>

#include <string>

// Empties the output; true with the chosen file-system folder, false when
// the browser was cancelled or gave no path.
bool ChooseInstallFolder(HWND owner, std::wstring* folder);
