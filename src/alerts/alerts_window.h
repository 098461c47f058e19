// The full-screen alerts display.
#pragma once
#include <windows.h>

// Shows one window per alert item in turn; returns 0, or -1 on setup failure.
int RunAlertsWindow(HINSTANCE instance, int showCommand);
