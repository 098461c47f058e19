// Painting of the installer window with GDI+.
#pragma once
#include <windows.h>
#include <objidl.h>  // before gdiplus.h: WIN32_LEAN_AND_MEAN leaves it out
#include <gdiplus.h>

#include "installer/installer_state.h"

// Adds a closed figure with rounded corners (arcs of diameter 2 * radius)
// to the path.
void AddRoundedRect(Gdiplus::GpPath* path, const Gdiplus::RectF& rect, float radius);

// Paints the whole scene into a device context of the client's size.
void PaintInstallerScene(HDC dc, int width, int height, const InstallerState& state);
