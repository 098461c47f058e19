// The tile pictures: downloaded into the temporary folder, loaded with GDI+.
#pragma once
#include <vector>

#include "app/catalogue.h"

// Fills each tile's picture; a tile whose picture cannot be downloaded or
// decoded keeps none. GDI+ must be running.
void LoadTileImages(std::vector<TileRecord>& tiles);

// Deletes the pictures (closing their files) and clears them.
void FreeTileImages(std::vector<TileRecord>& tiles);
