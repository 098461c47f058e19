#include "alerts/alert_actions.h"

#include <shellapi.h>

#include <string>

#include "alerts/alert_layout.h"
#include "alerts/alert_links.h"
#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "app/product_probe.h"
#include "housekeeping/close_archiving.h"
#include "support/journal.h"
#include "support/process_runner.h"
#include "update/start_watch.h"
#include "update/update_worker.h"

namespace {

constexpr DWORD RestartPauseMs = 3000;
constexpr DWORD EmergencyWaitMs = 3000;

AlertLayout ClientLayout(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    return MakeAlertLayout(client.right - client.left, client.bottom - client.top);
}

// Only web addresses go to the shell; any other link is journalled once
// (per cell) and ignored.
void OpenLinksAt(AlertItem& item, int32_t x, int32_t y) {
    for (AlertCell& cell : item.cells) {
        if (IsZeroRect(cell.hitRect) || !RectContains(cell.hitRect, x, y) || cell.link.empty()) continue;
        if (IsWebLink(cell.link)) {
            ShellExecuteA(nullptr, "open", cell.link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        } else if (!cell.linkRefused) {
            cell.linkRefused = true;
            AppendDownloadJournal(GetAppFolder(), IgnoredLinkJournalText(cell.link));
        }
    }
}

}  // namespace

void OnAlertClick(HWND window, LPARAM position) {
    const int32_t x = LOWORD(position), y = HIWORD(position);
    switch (ClassifyClick(ClientLayout(window), CurrentKind(), x, y)) {
        case ClickAction::Ignore:
            return;
        case ClickAction::CloseFromFooter:
            CloseFromFooter(window);
            return;
        case ClickAction::OpenLinks:
            if (Alerts().currentItem != nullptr) OpenLinksAt(*Alerts().currentItem, x, y);
            return;
    }
}

void CloseFromFooter(HWND window) {
    ArchiveSetAsideAgent(GetAppFolder());
    Alerts().closeAllowed = true;
    DestroyWindow(window);
}

void StartUpdateWorker(HWND window, AlertWindowState* state) {
    AlertItem* item = Alerts().currentItem;
    if (state == nullptr || state->workerStarted || item == nullptr || item->cells.empty()) return;
    state->workerStarted = true;
    SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
    SetTimer(window, ProgressTimerId, ProgressTimerMs, nullptr);
    WorkerStartRecord* record = new WorkerStartRecord;
    record->window = window;
    const AlertCell& cell = item->cells[0];
    UpdateOffer& offer = record->offer;
    offer.packageUrl = cell.link;
    offer.hasSha256 = cell.hasSha256;
    offer.sha256 = cell.sha256;
    offer.hasSignature = cell.hasSignature;
    offer.signature = cell.signature;
    offer.hasStatement = cell.hasStatement;
    offer.statement = cell.statement;
    offer.statementSignature = cell.statementSignature;
    HANDLE thread = CreateThread(nullptr, 0, UpdateWorkerThread, record, 0, nullptr);
    if (thread == nullptr) {
        delete record;  // no update runs; the hot key remains the way out
        return;
    }
    CloseHandle(thread);
}

void OnProgressTimer(HWND window) {
    const AlertBox band = ProgressBand(ClientLayout(window));
    const RECT rect = {band.x, band.y, band.x + band.w, band.y + band.h};
    InvalidateRect(window, &rect, FALSE);
}

void OnUpdateFinished(HWND window) {
    KillTimer(window, ProgressTimerId);
    Alerts().closeAllowed = true;
    DestroyWindow(window);

    const std::wstring folder = GetAppFolder();
    const std::wstring exeName = FindProductExeForUpdate(folder);
    PendingStartWatch installed;
    const bool watched = TakeInstalledProgram(installed);
    if (exeName.empty()) return;
    Sleep(RestartPauseMs);
    unsigned long exitCode = 0;
    NoteProgramStopping(folder);
    RunHidden(L"cmd.exe /C taskkill /IM " + exeName + L" /F", exitCode);  // not started: go on
    Sleep(RestartPauseMs);
    // A program the update replaced is started so that its start is watched
    // (and put back when it fails); any other as before.
    if (watched) {
        StartWatched(folder, installed);
        return;
    }
    const std::wstring path = JoinPath(folder, exeName);
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
}

void OnEmergencyHotKey(HWND) {
    AppendDownloadJournal(GetAppFolder(), "HOTKEY_EMERGENCIA_CTRLF10");
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = L"taskkill.exe";
    info.lpParameters = L"/F /T /IM cmd.exe /IM regsvr32.exe /IM powershell.exe";
    info.nShow = SW_HIDE;
    if (ShellExecuteExW(&info) && info.hProcess != nullptr) {
        WaitForSingleObject(info.hProcess, EmergencyWaitMs);
        CloseHandle(info.hProcess);
    }
    ExitProcess(1);
}
