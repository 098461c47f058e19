// The update worker: one thread per update offer, from the stop of the
// program to the report, the relaunch and the message to the window.
#pragma once
#include <windows.h>

#include <string>

// Posted to the window when the worker has finished (wParam and lParam 0).
constexpr UINT UpdateFinishedMessage = WM_APP + 100;

// Allocated with new by the window; owned and deleted by the worker.
struct WorkerStartRecord {
    HWND window = nullptr;
    std::string packageUrl;
    bool hasSha256 = false;  // the offer named the package's SHA-256
    std::string sha256;      // as the offer gave it (checked before use)
    bool hasSignature = false;  // the offer carried "firma"
    std::string signature;
};

// Thread start routine; the parameter is a WorkerStartRecord*.
DWORD WINAPI UpdateWorkerThread(LPVOID parameter);

// The whole pipeline for one package address.
// With `expectedSha256`, the package is hashed before anything is written and
// a mismatch (or a malformed expected value) fails the update as a fetch does.
// A build with signing keys verifies `signature` ("firma") over the same
// digest before anything is written, and, when it requires signatures,
// refuses an offer without one before anything is fetched.
void InstallUpdate(const std::string& packageUrl, const std::string* expectedSha256 = nullptr,
                   const std::string* signature = nullptr);
