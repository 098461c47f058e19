// Presence tests for files.
#pragma once
#include <string>

// True when the path's attributes can be read and it is not a directory.
// Every "is this file there" test of the agent means this.
bool IsExistingFile(const std::wstring& path);

// Reads a file's first two bytes. False, with the system error code, when it
// cannot be opened or read (held open by another program, missing); true
// otherwise, with isProgram telling whether they are the "MZ" every Windows
// program starts with (a file shorter than two bytes is no program).
bool ReadProgramSignature(const std::wstring& path, bool& isProgram, unsigned long& errorCode);

// True when the file can be read and starts with "MZ".
bool HasProgramSignature(const std::wstring& path);
