// Painting of the alerts window with GDI+: frame, grid, single cell,
// message, update banner and gauge.
#pragma once
#include <windows.h>

#include "alerts/alert_state.h"

// The WM_PAINT handler. For an RTF document it also creates the window's
// children; for an update offer it starts the worker on the first paint.
void PaintAlertWindow(HWND window, AlertWindowState* state);
