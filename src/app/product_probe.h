// Which sibling program's executable stands in a folder.
#pragma once
#include <string>

#include "app/catalogue.h"

// First catalogue row, in the given order, whose executable is a file in the
// folder; -1 when none is.
int FindProductRow(const std::wstring& folder, const ProbeOrder& order);

// Exe name of the first present row in update order (tijeral.exe first), or
// an empty text.
std::wstring FindProductExeForUpdate(const std::wstring& folder);
