// Checks on a fetched package and on its save. No Win32 here.
#pragma once
#include <vector>

// ERROR_DISK_FULL: what a write that stopped short without an error means.
constexpr unsigned long DiskFullError = 112;

// True when the bytes start with "MZ", as every Windows program does.
bool StartsWithMz(const std::vector<unsigned char>& bytes);

// The error code of a file write: lastError when the write failed,
// DiskFullError when it reported success with fewer bytes written than
// asked for (lastError is stale then), 0 when everything was written.
unsigned long WriteErrorCode(bool writeSucceeded, unsigned long written, unsigned long wanted,
                             unsigned long lastError);
