// Installing a ZIP package: unpack with 7za.exe, server component,
// registration script, executable matching and replacement, clean-up.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

bool ExtractWith7za(const std::wstring& appFolder, const std::wstring& archive, const std::wstring& destination,
                    unsigned long& code);
std::vector<std::wstring> CollectExecutables(const std::wstring& folder);
bool IsFolderEmpty(const std::wstring& folder);

// How the ZIP branch ended, for the worker's report.
struct ZipBranchOutcome {
    bool extracted = false;
    unsigned long extractionCode = 0;
    bool installFailed = false;  // the old program could not be copied aside, or the new one read or moved in
    unsigned long installError = 0;
    const char* failureMessage = "";  // the report's "mensaje_error" and "paso_fallido"
    const char* failedStep = "";
    std::wstring installedName;  // the executable moved into the folder (empty: none)
    std::wstring previousCopy;   // the backup of the one it replaced (empty: none made)
};

// The whole branch after the package was stored: the package is unpacked
// into a new folder of its own (CreateExtractionFolder), never into one that
// was there before; a failed extraction removes the package and that folder.
// Writes progress 90/2 once unpacked.
ZipBranchOutcome InstallZipPackage(const std::wstring& appFolder, const std::wstring& packagePath);
