#include "installer/installer_layout.h"

namespace {

constexpr int MinTileHeight = 160;
constexpr int MaxTileHeight = 260;
constexpr int RowTop = 140;
constexpr int Margin = 40;
constexpr int Gap = 24;
constexpr int ButtonWidth = 260;
constexpr int ButtonHeight = 44;

TileRect Rect(int left, int top, int right, int bottom) {
    TileRect rect;
    rect.left = left;
    rect.top = top;
    rect.right = right;
    rect.bottom = bottom;
    return rect;
}

}  // namespace

int InstallerTileHeight(int clientHeight) {
    if (clientHeight - 220 < 200) return MinTileHeight;
    const int candidate = (clientHeight - 244) / 2;
    if (candidate < MinTileHeight) return MinTileHeight;
    if (candidate > MaxTileHeight) return MaxTileHeight;
    return candidate;
}

InstallerLayout ComputeInstallerLayout(int clientWidth, int clientHeight) {
    InstallerLayout layout;
    const int h = InstallerTileHeight(clientHeight);

    // First row: three tiles between margins of 40 with gaps of 24.
    const int e = (clientWidth - 128) / 3;
    for (int i = 0; i < 3; ++i) {
        const int left = Margin + i * (Gap + e);
        layout.tiles[i] = Rect(left, RowTop, left + e, RowTop + h);
    }
    // Second row: two wider tiles.
    const int f = (clientWidth - 104) / 2;
    const int secondTop = h + 164;
    for (int i = 0; i < 2; ++i) {
        const int left = Margin + i * (Gap + f);
        layout.tiles[3 + i] = Rect(left, secondTop, left + f, 2 * h + 164);
    }

    // Button: centred; pinned to the bottom when the rows leave no room.
    const int secondBottom = 2 * h + 164;
    const int buttonLeft = (clientWidth - ButtonWidth) / 2;
    const int buttonTop = clientHeight - 20 < secondBottom + 68 ? clientHeight - 64 : secondBottom + 24;
    layout.button = Rect(buttonLeft, buttonTop, buttonLeft + ButtonWidth, buttonTop + ButtonHeight);
    return layout;
}

bool RectContains(const TileRect& rect, int x, int y) {
    return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

int TileAtPoint(const InstallerLayout& layout, int x, int y) {
    for (int i = 0; i < ProductCount; ++i) {
        if (RectContains(layout.tiles[i], x, y)) return i;
    }
    return -1;
}

LayoutBox TilePictureArea(const TileRect& tile) {
    LayoutBox area;
    area.x = static_cast<float>(tile.left + 16);
    area.y = static_cast<float>(tile.top + 26);
    area.width = static_cast<float>(tile.right - tile.left - 32);
    area.height = static_cast<float>(tile.bottom - tile.top - 86);
    return area;
}

LayoutBox FitPicture(const LayoutBox& area, unsigned pictureWidth, unsigned pictureHeight) {
    LayoutBox box;
    if (pictureWidth == 0 || pictureHeight == 0) return box;
    const float byHeight = area.height / static_cast<float>(pictureHeight);
    const float byWidth = area.width / static_cast<float>(pictureWidth);
    const float scale = byHeight < byWidth ? byHeight : byWidth;
    box.width = static_cast<float>(pictureWidth) * scale;
    box.height = static_cast<float>(pictureHeight) * scale;
    box.x = area.x + (area.width - box.width) / 2;
    box.y = area.y + (area.height - box.height) / 2;
    return box;
}
