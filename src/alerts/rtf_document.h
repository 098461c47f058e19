// RTF documents in the alerts window: the read-only Rich Edit control, the
// accept button that becomes usable after 5 seconds, and the acceptance.
#pragma once
#include <windows.h>

#include <string>

#include "alerts/alert_layout.h"
#include "alerts/alert_state.h"

inline constexpr wchar_t AcceptanceJournalName[] = L"alertas_terminos_aceptados.csv";

// At every paint of an RTF window: creates what is missing (control, button,
// timer) and loads the document once per process.
void ShowRtfDocument(HWND window, AlertWindowState* state, const AlertLayout& layout);
void LoadRtfIntoControl(HWND richEdit, const std::string& url);
void OnAcceptTimer(HWND window);
// Journals and reports the acceptance, then destroys the window.
void OnAccept(HWND window);
