// What the installer window keeps while it is open.
#pragma once
#include <windows.h>

#include <vector>

#include "app/catalogue.h"

struct InstallerState {
    HWND window = nullptr;          // owner of every message box of the installation
    std::vector<TileRecord> tiles;  // tile order; pictures are GDI+ images or null
    TileRect button;                // "Ubicación personalizada..."
    int hoveredTile = -1;
    bool buttonHovered = false;
    bool installing = false;  // a click is being handled; further clicks are ignored
};
