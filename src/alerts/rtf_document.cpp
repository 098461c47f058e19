#include "alerts/rtf_document.h"

#include <richedit.h>

#include <new>
#include <vector>

#include "app/app_folder.h"
#include "net/url_fetch.h"
#include "service/installation_descriptor.h"
#include "service/reports.h"
#include "support/journal.h"

namespace {

constexpr DWORD RichEditStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
constexpr DWORD AcceptButtonStyle = WS_CHILD | WS_VISIBLE | WS_DISABLED;
constexpr wchar_t AcceptButtonText[] = L"Acepto los terminos y condiciones";

HWND CreateChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, const AlertBox& box, int id) {
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    return CreateWindowExW(0, className, text, style, box.x, box.y, box.w, box.h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

void ShowRtfDocument(HWND window, AlertWindowState* state, const AlertLayout& layout) {
    if (state == nullptr) return;
    if (state->richEdit == nullptr) {
        state->richEdit = CreateChild(window, L"RICHEDIT50W", L"", RichEditStyle, RichEditBox(layout), 0);
    }
    if (state->acceptButton == nullptr) {
        state->acceptButton = CreateChild(window, L"BUTTON", AcceptButtonText, AcceptButtonStyle,
                                          AcceptButtonBox(layout), AcceptButtonId);
    }
    if (!state->acceptTimerArmed) {
        SetTimer(window, AcceptTimerId, AcceptTimerMs, nullptr);
        state->acceptTimerArmed = true;
    }
    AlertDisplay& alerts = Alerts();
    if (!alerts.rtfLoaded && alerts.currentItem != nullptr && !alerts.currentItem->cells.empty()) {
        LoadRtfIntoControl(state->richEdit, alerts.currentItem->cells[0].link);
        alerts.rtfLoaded = true;
    }
}

void LoadRtfIntoControl(HWND richEdit, const std::string& url) {
    if (richEdit == nullptr || url.empty()) return;
    std::vector<unsigned char> bytes;
    if (!DownloadUrlBytes_Rtf(url, bytes) || bytes.empty()) return;
    // The control takes the bytes themselves as a zero-terminated text; the
    // document (up to RtfBodyLimit) is not copied.
    try {
        bytes.push_back('\0');
    } catch (const std::bad_alloc&) {
        return;  // the control stays empty, as after a failed download
    }
    SETTEXTEX settings = {ST_DEFAULT, CP_ACP};
    SendMessageA(richEdit, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&settings), reinterpret_cast<LPARAM>(bytes.data()));
}

void OnAcceptTimer(HWND window) {
    KillTimer(window, AcceptTimerId);
    AlertWindowState* state = WindowStateOf(window);
    if (state != nullptr && state->acceptButton != nullptr) EnableWindow(state->acceptButton, TRUE);
}

void OnAccept(HWND window) {
    const AlertItem* item = Alerts().currentItem;
    if (item == nullptr || item->cells.empty()) return;
    const std::string link = item->cells[0].link;
    AppendJournal(GetAppFolder(), AcceptanceJournalName, link);
    SendAcceptanceReport(GatherInstallationIdentity(), link);
    DestroyWindow(window);
}
