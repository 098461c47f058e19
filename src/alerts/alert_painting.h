// Painting of the alerts window with GDI+: frame, grid, single cell,
// message, update banner and gauge.
#pragma once
#include <windows.h>

#include "alerts/alert_state.h"

// The WM_PAINT handler. The frame and the item's cells (or an update
// offer's banner) are drawn once into a bitmap kept with the window; every
// paint copies what it needs from there and draws the live parts: the
// gauge (and, on the first paint, the worker start) of an update offer, the
// children of an RTF document.
void PaintAlertWindow(HWND window, AlertWindowState* state);
