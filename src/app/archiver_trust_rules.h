// Which 7za.exe the agent runs: only one whose SHA-256 the build names.
// No Win32 here.
#pragma once
#include <string>

// TRUST_E_BAD_DIGEST: the code a refused archiver is reported with.
inline constexpr unsigned long ArchiverNotTrustedCode = 0x80096010ul;

// True when `digestHex` (lower-case hex, as the hasher gives it) is one of
// the digests in `pinnedList`: 64 hex digits each, separated by commas,
// semicolons or blanks, in any letter case. An empty digest (the file could
// not be hashed) matches nothing, and neither does a malformed entry.
bool IsPinnedDigest(const std::string& pinnedList, const std::string& digestHex);
