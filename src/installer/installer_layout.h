// Geometry of the installer window: tile and button rectangles, hit tests
// and the fitting of a tile picture. No Win32 here.
#pragma once
#include <array>

#include "app/catalogue.h"

struct InstallerLayout {
    std::array<TileRect, ProductCount> tiles;  // tile order
    TileRect button;                           // "Ubicación personalizada..."
};

// Tile height for a client height: 160 to 260 pixels.
int InstallerTileHeight(int clientHeight);

// Every rectangle for a client area of the given size.
InstallerLayout ComputeInstallerLayout(int clientWidth, int clientHeight);

// PtInRect's rule: the left and top edges are inside, the right and bottom outside.
bool RectContains(const TileRect& rect, int x, int y);

// Index of the first tile containing the point; -1 when none does.
int TileAtPoint(const InstallerLayout& layout, int x, int y);

// A rectangle given by position and size, in client pixels.
struct LayoutBox {
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
};

// Where a tile's picture may go: (x + 16, y + 26, w - 32, h - 86).
LayoutBox TilePictureArea(const TileRect& tile);

// The picture scaled by the smaller of the two ratios (it may be enlarged)
// and centred in the area. Empty for a picture without size.
LayoutBox FitPicture(const LayoutBox& area, unsigned pictureWidth, unsigned pictureHeight);
