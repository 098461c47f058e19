// The full-screen alerts display.
#pragma once
#include <windows.h>

#include <string>

#include "alerts/alert_document.h"

// Shows one window per alert item in turn; returns 0, or -1 on setup failure.
int RunAlertsWindow(HINSTANCE instance, int showCommand);

// The steps of the run, also used to measure painting: GDI+, the Rich Edit
// libraries, the record folder and the document with its pictures; one
// item's window class and window (created, focused, hot key registered, not
// yet shown); the
// release of the pictures and of GDI+.
bool BeginAlertsDisplay(ULONG_PTR& gdiplusToken);
void RegisterAlertClass(HINSTANCE instance);
HWND CreateAlertWindow(HINSTANCE instance, AlertItem& item);
void EndAlertsDisplay(ULONG_PTR gdiplusToken);
