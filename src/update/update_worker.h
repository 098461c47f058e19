// The update worker: one thread per update offer, from the stop of the
// program to the report, the relaunch and the message to the window.
#pragma once
#include <windows.h>

#include <string>

// Posted to the window when the worker has finished (wParam and lParam 0).
constexpr UINT UpdateFinishedMessage = WM_APP + 100;

// An update offer as its cell gives it.
struct UpdateOffer {
    std::string packageUrl;
    bool hasSha256 = false;     // the offer named the package's SHA-256
    std::string sha256;         // as the offer gave it (checked before use)
    bool hasSignature = false;  // the offer carried "firma"
    std::string signature;
    bool hasStatement = false;  // the offer carried "declaracion" (and "declaracion_firma")
    std::string statement;
    std::string statementSignature;
};

// Allocated with new by the window; owned and deleted by the worker.
struct WorkerStartRecord {
    HWND window = nullptr;
    UpdateOffer offer;
};

// Thread start routine; the parameter is a WorkerStartRecord*.
DWORD WINAPI UpdateWorkerThread(LPVOID parameter);

// The whole pipeline for one offer.
// With a "sha256", the package is hashed before anything is written and a
// mismatch (or a malformed expected value) fails the update as a fetch does.
// A build with signing keys checks the offer's release statement before the
// program is stopped (signature, kind, product, name, version) and the
// package's size and SHA-256 against it before anything is written; the
// package is stored under the stated name. When the build requires
// statements, an offer without one is refused before anything is fetched;
// when it does not, a bare "firma" is verified over the package's digest.
void InstallUpdate(const UpdateOffer& offer);
