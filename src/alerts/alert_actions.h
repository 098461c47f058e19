// What the alerts window does with clicks, the emergency hot key and an
// update offer's worker.
#pragma once
#include <windows.h>

#include "alerts/alert_state.h"

void OnAlertClick(HWND window, LPARAM position);
// Archives a set-aside agent, journals the close and destroys the window.
void CloseFromFooter(HWND window);
// First paint of an update offer: starts the worker thread once.
void StartUpdateWorker(HWND window, AlertWindowState* state);
void OnProgressTimer(HWND window);
// The worker has finished: close the window, then stop and start the program.
void OnUpdateFinished(HWND window);
// Ctrl+F10: journal, end the helper processes, end this process (exit code 1).
void OnEmergencyHotKey(HWND window);
