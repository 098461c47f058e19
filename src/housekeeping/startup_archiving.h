// Packing of old backup folders at every start.
#pragma once
#include <string>
#include <vector>

// Packs every sub-folder of actualizaciones into <name>.zip beside it and
// deletes the folder when PowerShell succeeded. Silent.
void RunStartupArchiving();

// The immediate sub-folders of a folder, as full paths.
std::vector<std::wstring> ListSubfolders(const std::wstring& folder);

// Deletes a folder and everything in it (read-only files too); false at the
// first entry that cannot be deleted. A missing folder counts as deleted.
bool DeleteFolderTree(const std::wstring& folder);
