#include "alerts/alerts_window.h"

#include <string>
#include <vector>

#include "alerts/alert_actions.h"
#include "alerts/alert_images.h"
#include "alerts/alert_painting.h"
#include "alerts/alert_state.h"
#include "alerts/rtf_document.h"
#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "net/download_progress.h"
#include "service/check_in.h"
#include "support/gdiplus_guards.h"
#include "support/journal_format.h"
#include "update/update_progress.h"
#include "update/update_worker.h"

using namespace Gdiplus;

namespace {

constexpr DWORD AlertExStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
constexpr DWORD PollSleepMs = 10;

// The window owns its state from here until OnDestroy deletes it, which the
// analyzer cannot follow through GWLP_USERDATA.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
void OnCreate(HWND window) {
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new AlertWindowState));
}
// NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)

void OnDestroy(HWND window) {
    KillTimer(window, ProgressTimerId);
    UnregisterHotKey(window, EmergencyHotKeyId);
    AlertWindowState* state = WindowStateOf(window);
    if (state == nullptr) return;
    if (state->richEdit != nullptr) DestroyWindow(state->richEdit);
    if (state->acceptButton != nullptr) DestroyWindow(state->acceptButton);
    delete state;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
}

LRESULT CALLBACK AlertWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_PAINT:
            PaintAlertWindow(window, WindowStateOf(window));
            return 0;
        case WM_LBUTTONDOWN:
            OnAlertClick(window, lParam);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == AcceptButtonId) OnAccept(window);
            return 0;
        case WM_TIMER:
            if (wParam == AcceptTimerId) OnAcceptTimer(window);
            if (wParam == ProgressTimerId) OnProgressTimer(window);
            return 0;
        case WM_HOTKEY:
            if (wParam == EmergencyHotKeyId) OnEmergencyHotKey(window);
            return 0;
        case UpdateFinishedMessage:
            OnUpdateFinished(window);
            return 0;
        case WM_CLOSE:
            if (!Alerts().closeAllowed) return 0;  // Alt+F4 does nothing
            break;
        case WM_DESTROY:
            OnDestroy(window);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A folder is there, or is made now (one level); false when a file is in the way.
bool EnsureRecordFolder(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    return CreateDirectoryW(folder.c_str(), nullptr) != 0;
}

// Polls the queue (sleeping 10 ms when it is empty) until the window is gone.
void RunWindowLoop(HWND window) {
    MSG message;
    while (IsWindow(window)) {
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        } else {
            Sleep(PollSleepMs);
        }
    }
}

void ShowItemWindow(HINSTANCE instance, int showCommand, AlertItem& item) {
    HWND window = CreateAlertWindow(instance, item);
    if (window == nullptr) return;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    RunWindowLoop(window);
}

}  // namespace

void RegisterAlertClass(HINSTANCE instance) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = AlertWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.lpszClassName = AlertWindowClassName;
    RegisterClassW(&windowClass);
}

bool BeginAlertsDisplay(ULONG_PTR& gdiplusToken) {
    GdiplusStartupInput input;
    if (GdiplusStartup(&gdiplusToken, &input, nullptr) != Ok) return false;
    // The rich edit libraries stay loaded for the process: they register the
    // window classes the alerts use.
    // cppcheck-suppress leakReturnValNotUsed
    LoadLibraryW(L"Riched20.dll");
    // cppcheck-suppress leakReturnValNotUsed
    LoadLibraryW(L"Msftedit.dll");  // provides RICHEDIT50W
    const std::wstring recordFolder = JoinPath(GetAppFolder(), RecordFolderName);
    if (!EnsureRecordFolder(recordFolder) ||
        !LoadAlertDocument(JoinPath(recordFolder, ReceivedJsonName), Alerts().document)) {
        GdiplusShutdown(gdiplusToken);
        return false;
    }
    return true;
}

HWND CreateAlertWindow(HINSTANCE instance, AlertItem& item) {
    AlertDisplay& alerts = Alerts();
    alerts.closeAllowed = false;
    alerts.currentItem = &item;
    // A new window's gauge starts empty, not at the previous update's end
    // (whose worker has finished: its window closed on its message).
    DownloadProgress.store(0);
    UpdateStep.store(0);
    HWND window = CreateWindowExW(AlertExStyle, AlertWindowClassName, AlertWindowTitle, WS_POPUP, 0, 0,
                                  GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                  instance, nullptr);
    if (window == nullptr) return nullptr;
    SetForegroundWindow(window);
    SetFocus(window);
    SetActiveWindow(window);
    RegisterHotKey(window, EmergencyHotKeyId, MOD_CONTROL, VK_F10);
    return window;
}

void EndAlertsDisplay(ULONG_PTR gdiplusToken) {
    AlertDisplay& alerts = Alerts();
    alerts.currentItem = nullptr;
    ReleaseAlertImages(alerts.document);
    ReleaseImage(alerts.bannerImage);  // GDI+ objects must not outlive GDI+
    alerts.bannerImage = nullptr;
    GdiplusShutdown(gdiplusToken);
}

AlertDisplay& Alerts() {
    static AlertDisplay display;
    return display;
}

AlertWindowState* WindowStateOf(HWND window) {
    return reinterpret_cast<AlertWindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

AlertKind CurrentKind() {
    const AlertItem* item = Alerts().currentItem;
    return item == nullptr ? AlertKind::Other : KindOf(*item);
}

int RunAlertsWindow(HINSTANCE instance, int showCommand) {
    ULONG_PTR token = 0;
    if (!BeginAlertsDisplay(token)) return -1;
    RegisterAlertClass(instance);
    std::vector<AlertItem>& items = Alerts().document.items;
    for (AlertItem& item : items) ShowItemWindow(instance, showCommand, item);
    EndAlertsDisplay(token);
    return 0;
}
