// The archiver check: a 7za.exe is run only when its SHA-256 is one the
// build pins (TREVANTO_ARCHIVER_SHA256), so that whoever answers for the
// download host cannot make the agent run a program of its choice.
#pragma once
#include <string>

// True when the file's SHA-256 is pinned; `digestHex` is the digest taken
// (empty when the file could not be read or hashed).
bool IsTrustedArchiver(const std::wstring& path, std::string& digestHex);
bool IsTrustedArchiver(const std::wstring& path);

// The build's pinned list (each executable carries its own).
const char* PinnedArchiverDigests();

// For the test harness only: one more digest taken as pinned (a test double
// of the archiver). Never called by the agent.
void TrustArchiverDigestForTests(const std::string& digestHex);
