// Walking the entries of a folder.
#pragma once
#include <functional>
#include <string>

// Calls visit(full path, is directory) for every entry except "." and "..",
// in the order the file system enumerates them, until visit returns false.
// Returns false when the folder cannot be listed.
bool ForEachEntry(const std::wstring& folder, const std::function<bool(const std::wstring&, bool)>& visit);

// The first file at any depth below the folder (depth first, a directory
// searched as soon as it is met, a link to a folder never followed) whose
// name satisfies the test; empty when there is none.
std::wstring FindFileBelow(const std::wstring& folder, const std::function<bool(const std::wstring& name)>& matches);
