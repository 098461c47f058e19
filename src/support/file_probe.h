// Presence tests for files.
#pragma once
#include <string>

// True when the path's attributes can be read and it is not a directory.
// Every "is this file there" test of the agent means this.
bool IsExistingFile(const std::wstring& path);
