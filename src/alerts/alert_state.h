// State shared by the alerts window's handlers: the process-wide display
// state, the per-window record and the window's identifiers.
#pragma once
#include <windows.h>

#include <string>

#include "alerts/alert_document.h"
#include "support/handles.h"

inline constexpr wchar_t AlertWindowClassName[] = L"AlertaWindowClass";
inline constexpr wchar_t AlertWindowTitle[] = L"ACTUALIZANDO... ESPERE.";

constexpr int EmergencyHotKeyId = 1;   // Ctrl+F10
constexpr UINT_PTR AcceptTimerId = 1;  // enables the accept button once
constexpr UINT AcceptTimerMs = 5000;
constexpr UINT_PTR ProgressTimerId = 2;  // repaints the update gauge
constexpr UINT ProgressTimerMs = 150;
constexpr int AcceptButtonId = 1001;

// One per window, in its user-data slot.
struct AlertWindowState {
    HWND richEdit = nullptr;
    HWND acceptButton = nullptr;
    bool acceptTimerArmed = false;
    bool workerStarted = false;
    bool bannerTried = false;  // the update banner was asked for in this window
    // The frame and the item's pictures and texts as first drawn, the size
    // of the client area: every later paint copies from it.
    ScopedBitmap composed;
    int composedWidth = 0, composedHeight = 0;
};

// The alerts display of this process (main thread only).
struct AlertDisplay {
    AlertDocument document;
    AlertItem* currentItem = nullptr;  // the item whose window exists now
    bool closeAllowed = false;         // WM_CLOSE is ignored while false
    bool rtfLoaded = false;            // the RTF document is fetched once per process
    void* bannerImage = nullptr;       // the update banner, once loaded (asked for once per window)
    bool identityReady = false;        // footer identity lines, gathered once
    std::wstring identityLines[3];
};

AlertDisplay& Alerts();

// The window's record, or null before WM_CREATE and after WM_DESTROY.
AlertWindowState* WindowStateOf(HWND window);

AlertKind CurrentKind();
