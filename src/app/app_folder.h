// The application folder: where the running executable stands.
#pragma once
#include <string>

// Module file name cut before its last backslash or forward slash, without
// trailing separator; the whole module path when it has no separator.
std::wstring GetAppFolder();

// The entry sequence's variant: empty when the module path cannot be read,
// is 260 characters or longer, or has no backslash.
std::wstring GetEntryFolder();
