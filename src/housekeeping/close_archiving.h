// Packing of the set-aside agent (trevanto2.exe) when the alerts window closes.
#pragma once
#include <string>

// Moves the file to versiones\<stamp>_trevanto.exe, zips it and keeps only
// the ZIP (its path in zipPath). On failure the file is back in place.
bool ArchiveAtClose(const std::wstring& appFolder, const std::wstring& file, std::wstring& zipPath);

// The window's close-time sequence: archive trevanto2.exe when present and
// journal "CIERRE_ARCHIVAR_ZIP;<file>;<zip path|ERROR|NO_EXISTE>".
void ArchiveSetAsideAgent(const std::wstring& appFolder);
