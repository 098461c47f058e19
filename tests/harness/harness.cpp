// Calls one agent operation, named on the command line, and prints its
// outcome as one JSON line, so end-to-end tests can drive single operations
// under Wine against the test servers. Byte strings are printed as hex.
//
//   harness download-file <url> <target>          DownloadToFile with an error code
//   harness download-file-nocode <url> <target>   DownloadToFile without one
//   harness api-post <path> <body-file>           ApiPostJson (body read from the file)
//   harness api-get <path>                        ApiGetJson
//   harness fetch-url <url> <out-file> [sha256 [firma]]
//                                                 DownloadUrlBytes_URL; progress values seen; with
//                                                 "sha256", the update worker's fetch that hashes as
//                                                 the bytes arrive (FetchPackageHashed) and the digest;
//                                                 with a "firma", its check over that digest (key_slot);
//                                                 last_byte_ms: when the progress reached 70
//   harness fetch-image <url> <out-file>          DownloadUrlBytes_Image
//   harness fetch-rtf <url> <out-file>            DownloadUrlBytes_Rtf
//   harness self-update <app-folder> [linger-ms]  CheckSelfUpdate, then stays alive a while
//   harness descriptor <app-folder> <row>         WriteInstallationDescriptor (row 0-based)
//   harness identity                              GatherInstallationIdentity (beside this harness)
//   harness facts <exe-path> <settings-key>       the single facts of the descriptor
//   harness write-stamp <settings-key>            WriteLastUpdateStamp
//   harness report-update <elapsed-ms> <result> <code> <message> <step> <url>
//                                                 ReportUpdateOutcome for the identity beside this harness
//   harness report-acceptance <rtf-url>           SendAcceptanceReport
//   harness report-ids                            two NewReportId values made back to back
//   harness check-in                              CheckIn for the folder of this harness
//   harness update <url> [timeout-ms] [sha256|-] [firma|-] [declaracion declaracion_firma]
//                                                 starts UpdateWorkerThread as the alerts window does
//                                                 (the offer's "sha256", "firma" and statement; - for none)
//                                                 and waits for its finished message; prints when it
//                                                 came and when the progress reached each step; with
//                                                 TREVANTO_CORTE_TRAS_LINEA=k the process ends (exit
//                                                 code 77) right after its k-th journal line
//   harness short-name <path>                     the path's 8.3 name (GetShortPathNameW), as hex
//   harness startup-archiving                     RunStartupArchiving for the folder of this harness
//   harness close-archiving                       ArchiveSetAsideAgent for the folder of this harness
//   harness verify-bench <sha256> <firma> <n>     microseconds per signature check (VerifyingKeySlot)
//   harness statement-bench <declaracion> <firma> <n>  microseconds per release statement check
//   harness hash-bench <megabytes>                time of the package SHA-256 on a buffer of that size
//   harness archiver-bench <path> <n>             the archiver check (IsTrustedArchiver) n times: the
//                                                 first call's and the later calls' milliseconds
//   harness paint-bench <repeats>                 per item of this folder's recibido.json: CPU time of a
//                                                 full repaint and of a progress-band repaint (and, with
//                                                 TREVANTO_PAINT_SHOTS, a pause for a screenshot after them)
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "net/api_client.h"
#include "net/download_file.h"
#include "net/download_progress.h"
#include "net/url_fetch.h"
#include "selfupdate/self_update.h"
#include "app/archiver_trust.h"
#include "alerts/alerts_window.h"
#include "alerts/alert_layout.h"
#include "alerts/alert_state.h"
#include "app/app_folder.h"
#include "service/installation_descriptor.h"
#include "housekeeping/close_archiving.h"
#include "housekeeping/startup_archiving.h"
#include "service/check_in.h"
#include "update/package_hash.h"
#include "update/package_signature.h"
#include "update/statement_verification.h"
#include "update/update_progress.h"
#include "update/update_worker.h"
#include "service/reports.h"
#include "support/process_runner.h"

namespace {

std::string Narrow(const std::wstring& wide) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

unsigned long long PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

int DownloadFile(const std::wstring& url, const std::wstring& target, bool wantCode) {
    unsigned long code = 12345;
    const bool ok = DownloadToFile(url, target, wantCode ? &code : nullptr);
    if (wantCode) {
        std::printf("{\"ok\":%s,\"error\":%lu}\n", Bool(ok).c_str(), code);
    } else {
        std::printf("{\"ok\":%s}\n", Bool(ok).c_str());
    }
    return 0;
}

int PrintApiResult(bool ok, const std::string& body, const std::string& error) {
    std::printf("{\"ok\":%s,\"body_hex\":\"%s\",\"error_hex\":\"%s\"}\n", Bool(ok).c_str(), Hex(body).c_str(),
                Hex(error).c_str());
    return 0;
}

int ApiPost(const std::wstring& path, const std::wstring& bodyFile) {
    std::string body = "sin tocar", error = "sin tocar";
    const bool ok = ApiPostJson(Narrow(path), ReadAll(bodyFile), body, error);
    return PrintApiResult(ok, body, error);
}

int ApiGet(const std::wstring& path) {
    std::string body = "sin tocar", error = "sin tocar";
    const bool ok = ApiGetJson(Narrow(path), body, error);
    return PrintApiResult(ok, body, error);
}

// Samples DownloadProgress while the fetch runs and keeps each new value.
int FetchUrl(const std::wstring& url, const std::wstring& outFile, bool hashed, const wchar_t* signature = nullptr) {
    DownloadProgress.store(-1);
    std::vector<int> seen;
    std::atomic<bool> done{false};
    const DWORD start = GetTickCount();
    DWORD lastByteMs = 0;  // when the progress reached 70: the whole announced body was in
    std::thread sampler([&] {
        int last = -1;
        while (!done.load()) {
            const int now = DownloadProgress.load();
            if (now != last) seen.push_back(last = now);
            if (now >= 70 && lastByteMs == 0) lastByteMs = GetTickCount() - start;
            Sleep(1);
        }
        const int now = DownloadProgress.load();
        if (now != last) seen.push_back(now);
    });
    std::vector<unsigned char> body;
    unsigned long code = 12345;
    std::string hex;
    PackageFetchOptions single;
    single.resumeAttempts = 0;
    const bool ok = hashed ? FetchPackageHashed(Narrow(url), body, code, single, hex)
                           : DownloadUrlBytes_URL(Narrow(url), body, code);
    // As the update worker does once the digest is in: the signature over it.
    const int keySlot = signature != nullptr ? VerifyingKeySlot(BuildSigningSettings(), hex, Narrow(signature)) : 0;
    const DWORD elapsed = GetTickCount() - start;
    done.store(true);
    sampler.join();
    WriteAll(outFile, body);
    std::string progress;
    for (int value : seen) {
        if (value < 0) continue;
        progress += (progress.empty() ? "" : ",") + std::to_string(value);
    }
    std::printf(
        "{\"ok\":%s,\"error\":%lu,\"size\":%u,\"ms\":%lu,\"last_byte_ms\":%lu,\"peak_working_set\":%llu,"
        "\"sha256\":\"%s\",\"key_slot\":%d,\"progress\":[%s]}\n",
        Bool(ok).c_str(), code, static_cast<unsigned>(body.size()), elapsed, lastByteMs, PeakWorkingSet(), hex.c_str(),
        keySlot, progress.c_str());
    return 0;
}

int FetchSmall(bool image, const std::wstring& url, const std::wstring& outFile) {
    std::vector<unsigned char> body = {'x'};
    DownloadProgress.store(-7);
    const bool ok = image ? DownloadUrlBytes_Image(Narrow(url), body) : DownloadUrlBytes_Rtf(Narrow(url), body);
    WriteAll(outFile, body);
    std::printf("{\"ok\":%s,\"size\":%u,\"progress\":%d}\n", Bool(ok).c_str(), static_cast<unsigned>(body.size()),
                DownloadProgress.load());
    return 0;
}

int SelfUpdate(const std::wstring& folder, DWORD lingerMs) {
    std::printf("{\"handed_over\":%s,\"pid\":%lu}\n", Bool(CheckSelfUpdate(folder)).c_str(), GetCurrentProcessId());
    std::fflush(stdout);
    Sleep(lingerMs);
    return 0;
}

int Descriptor(const std::wstring& folder, int row) {
    std::string text = "prefijo;";
    const bool ok = WriteInstallationDescriptor(folder, row, text);
    std::printf("{\"ok\":%s,\"text_hex\":\"%s\"}\n", Bool(ok).c_str(), Hex(text).c_str());
    return 0;
}

int Identity() {
    const InstallationIdentity identity = GatherInstallationIdentity();
    std::printf("{\"product_key\":\"%s\",\"product_version\":\"%s\",\"exe_name\":\"%s\",\"settings_key\":\"%s\"}\n",
                Hex(identity.productKey).c_str(), Hex(identity.productVersion).c_str(), Hex(identity.exeName).c_str(),
                Hex(identity.settingsKey).c_str());
    return 0;
}

int Facts(const std::wstring& exePath, const std::wstring& settingsKey) {
    std::printf(
        "{\"product_version\":\"%s\",\"version_or_unavailable\":\"%s\",\"windows\":\"%s\","
        "\"host\":\"%s\",\"path\":\"%s\",\"stamp\":\"%s\"}\n",
        Hex(ProductVersion(exePath)).c_str(), Hex(ProductVersionOrUnavailable(exePath)).c_str(),
        Hex(WindowsVersionText()).c_str(), Hex(HostNameUtf8()).c_str(), Hex(ProductPathUtf8("mesalto.exe")).c_str(),
        Hex(ReadLastUpdateStamp(Narrow(settingsKey))).c_str());
    return 0;
}

int ShortName(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    const std::wstring shortPath(buffer, length < MAX_PATH ? length : 0);
    std::printf("{\"short_name\":\"%s\"}\n", Hex(Narrow(shortPath.substr(shortPath.rfind(L'\\') + 1))).c_str());
    return 0;
}

int WriteStamp(const std::wstring& settingsKey) {
    std::printf("{\"ok\":%s}\n", Bool(WriteLastUpdateStamp(Narrow(settingsKey))).c_str());
    return 0;
}

int ReportUpdate(wchar_t** args) {
    const InstallationIdentity identity = GatherInstallationIdentity();
    const std::wstring folder = GetAppFolder();
    const std::string url = Narrow(args[5]);
    UpdateReportContext context;
    context.startTick = GetTickCount64() - static_cast<ULONGLONG>(_wtoi64(args[0]));
    context.identity = &identity;
    context.appFolder = &folder;
    context.updateUrl = &url;
    ReportUpdateOutcome(context, Narrow(args[1]), static_cast<std::int32_t>(_wtoi64(args[2])), Narrow(args[3]),
                        Narrow(args[4]));
    std::printf("{\"done\":true}\n");
    return 0;
}

int ReportAcceptance(const std::wstring& url) {
    SendAcceptanceReport(GatherInstallationIdentity(), Narrow(url));
    std::printf("{\"done\":true}\n");
    return 0;
}

int ReportIds() {
    const std::string first = NewReportId();
    const std::string second = NewReportId();
    std::printf("{\"ids\":[\"%s\",\"%s\"]}\n", first.c_str(), second.c_str());
    return 0;
}

// A message-only window stands in for the alerts window: the worker gets
// its handle and a copy of the address, exactly as the window hands them.
// `sha256` null: the offer has no "sha256" key.
int Update(const std::wstring& url, DWORD timeoutMs, const wchar_t* sha256, const wchar_t* signature,
           const wchar_t* statement, const wchar_t* statementSignature) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TrevantoPruebaWorker";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    if (sha256 != nullptr && std::wstring(sha256) == L"-") sha256 = nullptr;
    if (signature != nullptr && std::wstring(signature) == L"-") signature = nullptr;
    auto* record = new WorkerStartRecord;
    record->window = window;
    UpdateOffer& offer = record->offer;
    offer.packageUrl = Narrow(url);
    offer.hasSha256 = sha256 != nullptr;
    offer.sha256 = sha256 ? Narrow(sha256) : "";
    offer.hasSignature = signature != nullptr;
    offer.signature = signature ? Narrow(signature) : "";
    offer.hasStatement = statement != nullptr;
    offer.statement = statement ? Narrow(statement) : "";
    offer.statementSignature = statementSignature ? Narrow(statementSignature) : "";
    HANDLE thread = CreateThread(nullptr, 0, UpdateWorkerThread, record, 0, nullptr);
    CloseHandle(thread);

    int finished = 0;
    const DWORD start = GetTickCount();
    DWORD quietUntil = 0;
    DWORD finishedMs = 0;
    // When the worker's progress first reached each mark (ms after the start,
    // sampled every 10 ms; -1: never): the first 1/70 of the package in
    // memory (1), all of it (70), saved (75), unpacked (90), installed (100).
    const int marks[] = {1, 70, 75, 90, 100};
    long reachedMs[5] = {-1, -1, -1, -1, -1};
    auto sampleProgress = [&](DWORD now) {
        const int progress = DownloadProgress.load();
        for (int i = 0; i < 5; ++i) {
            if (reachedMs[i] < 0 && progress >= marks[i]) reachedMs[i] = static_cast<long>(now - start);
        }
    };
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == UpdateFinishedMessage && message.hwnd == window && message.wParam == 0 &&
                message.lParam == 0) {
                if (++finished == 1) {
                    finishedMs = GetTickCount() - start;
                    quietUntil = GetTickCount() + 1000;  // watch for a second message
                }
            }
            DispatchMessageW(&message);
        }
        const DWORD now = GetTickCount();
        sampleProgress(now);
        if (finished > 0 && now >= quietUntil) break;
        if (finished == 0 && now - start >= timeoutMs) break;
        Sleep(10);
    }
    std::printf(
        "{\"messages\":%d,\"progress\":%d,\"step\":%d,\"ms\":%lu,\"finished_ms\":%lu,\"peak_working_set\":%llu,"
        "\"progress_ms\":{\"first_bytes\":%ld,\"fetched\":%ld,\"saved\":%ld,\"extracted\":%ld,\"installed\":%ld}}\n",
        finished, DownloadProgress.load(), UpdateStep.load(), GetTickCount() - start, finishedMs, PeakWorkingSet(),
        reachedMs[0], reachedMs[1], reachedMs[2], reachedMs[3], reachedMs[4]);
    DestroyWindow(window);
    return 0;
}

// The time the package hash takes on a buffer of `megabytes` MiB.
int HashBench(int megabytes) {
    std::vector<unsigned char> bytes(static_cast<size_t>(megabytes) << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    std::string hex;
    const ULONGLONG start = GetTickCount64();
    const bool ok = Sha256Hex(bytes, hex);
    const ULONGLONG elapsed = GetTickCount64() - start;
    std::printf("{\"ok\":%s,\"ms\":%llu,\"sha256\":\"%s\"}\n", Bool(ok).c_str(), elapsed, hex.c_str());
    return 0;
}

// The start-up's archiver check on a file: the first call (the file and the
// hash provider cold) and the mean of the later ones.
int ArchiverBench(const std::wstring& path, int repeats) {
    LARGE_INTEGER frequency, start, first, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    bool trusted = IsTrustedArchiver(path);
    QueryPerformanceCounter(&first);
    for (int i = 1; i < repeats; ++i) trusted = IsTrustedArchiver(path) && trusted;
    QueryPerformanceCounter(&end);
    const double perMs = static_cast<double>(frequency.QuadPart) / 1000.0;
    const double firstMs = static_cast<double>(first.QuadPart - start.QuadPart) / perMs;
    const double laterMs = repeats > 1 ? static_cast<double>(end.QuadPart - first.QuadPart) / perMs / (repeats - 1) : 0;
    std::printf("{\"trusted\":%s,\"first_ms\":%.3f,\"ms_per_check\":%.3f}\n", Bool(trusted).c_str(), firstMs, laterMs);
    return 0;
}

// Microseconds per signature check of a digest, as the update worker makes
// it once the package's digest is in (key parsed and imported each time).
int VerifyBench(const std::wstring& digestHex, const std::wstring& signature, int repeats) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    int slot = 0;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < repeats; ++i) {
        slot = VerifyingKeySlot(BuildSigningSettings(), Narrow(digestHex), Narrow(signature));
    }
    QueryPerformanceCounter(&end);
    const double ticks = static_cast<double>(end.QuadPart - start.QuadPart);
    const double us = ticks * 1e6 / static_cast<double>(frequency.QuadPart);
    std::printf("{\"key_slot\":%d,\"us_per_check\":%.1f}\n", slot, us / repeats);
    return 0;
}

// Microseconds per release statement check as the worker makes it before it
// stops the program: both texts decoded, the signature verified under the
// build's keys, the statement parsed.
int StatementBench(const std::wstring& statement, const std::wstring& signature, int repeats) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    int slot = 0;
    StatementCheck check = StatementCheck::Missing;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < repeats; ++i) {
        ReleaseStatement parsed;
        check = VerifyStatementTexts(Narrow(statement), Narrow(signature), parsed, slot);
    }
    QueryPerformanceCounter(&end);
    const double us = static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
    std::printf("{\"valid\":%s,\"key_slot\":%d,\"us_per_check\":%.1f}\n", Bool(check == StatementCheck::Passed).c_str(),
                slot, us / repeats);
    return 0;
}

// User plus kernel time of this thread, in microseconds.
unsigned long long ThreadCpuMicroseconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (value(kernel) + value(user)) / 10;
}

// Average CPU microseconds of `repeats` repaints of the given region (all when null).
unsigned long long RepaintCost(HWND window, const RECT* region, int repeats) {
    const unsigned long long start = ThreadCpuMicroseconds();
    for (int i = 0; i < repeats; ++i) RedrawWindow(window, region, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    return (ThreadCpuMicroseconds() - start) / static_cast<unsigned long long>(repeats);
}

// With TREVANTO_PAINT_SHOTS set: after the repaints of window i, prints
// "CAPTURA i" and keeps the window up (its messages pumped) until the file
// captura_<i>.listo appears in the current folder, so that a screenshot of
// what the last repaint left can be taken.
void HoldForScreenshot(size_t index) {
    if (GetEnvironmentVariableW(L"TREVANTO_PAINT_SHOTS", nullptr, 0) == 0) return;
    std::printf("CAPTURA %u\n", static_cast<unsigned>(index));
    std::fflush(stdout);
    const std::wstring done = L"captura_" + std::to_wstring(index) + L".listo";
    while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
}

int PaintBench(int repeats) {
    ULONG_PTR token = 0;
    if (!BeginAlertsDisplay(token)) {
        std::printf("{\"ok\":false}\n");
        return 0;
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterAlertClass(instance);
    std::string json = "{\"ok\":true,\"items\":[";
    std::vector<AlertItem>& items = Alerts().document.items;
    for (size_t i = 0; i < items.size(); ++i) {
        HWND window = CreateAlertWindow(instance, items[i]);
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);  // the first paint loads what is cached afterwards
        RECT client = {};
        GetClientRect(window, &client);
        const AlertBox band = ProgressBand(MakeAlertLayout(client.right, client.bottom));
        const RECT bandRect = {band.x, band.y, band.x + band.w, band.y + band.h};
        const unsigned long long full = RepaintCost(window, nullptr, repeats);
        const unsigned long long partial = RepaintCost(window, &bandRect, repeats);
        HoldForScreenshot(i);
        json += (i ? ",{" : "{") + std::string("\"kind\":\"") + items[i].kindName + "\",\"full_us\":" +
                std::to_string(full) + ",\"band_us\":" + std::to_string(partial) + "}";
        Alerts().closeAllowed = true;
        DestroyWindow(window);
    }
    EndAlertsDisplay(token);
    std::printf("%s]}\n", json.c_str());
    return 0;
}

// Wine never shows the consent prompt of an elevated launch; with
// TREVANTO_PRUEBA_ELEVACION=rechazada every one is declined as a user declines it.
bool DeclinedElevation(const std::wstring&, const std::wstring&, int, void*& process, unsigned long& error) {
    process = nullptr;
    error = ERROR_CANCELLED;
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    wchar_t elevation[16] = {};
    GetEnvironmentVariableW(L"TREVANTO_PRUEBA_ELEVACION", elevation, 16);
    if (std::wstring(elevation) == L"rechazada") SetElevatedLaunch(DeclinedElevation);
    // A test double of the archiver, taken as pinned by this harness alone.
    char archiverDigest[80] = {};
    if (GetEnvironmentVariableA("TREVANTO_PRUEBA_7ZA_SHA256", archiverDigest, sizeof archiverDigest) > 0) {
        TrustArchiverDigestForTests(archiverDigest);
    }
    const std::wstring verb = argv[1];
    if (verb == L"download-file" && argc == 4) return DownloadFile(argv[2], argv[3], true);
    if (verb == L"download-file-nocode" && argc == 4) return DownloadFile(argv[2], argv[3], false);
    if (verb == L"api-post" && argc == 4) return ApiPost(argv[2], argv[3]);
    if (verb == L"api-get" && argc == 3) return ApiGet(argv[2]);
    if (verb == L"fetch-url" && argc == 4) return FetchUrl(argv[2], argv[3], false);
    if (verb == L"fetch-url" && argc == 5 && std::wstring(argv[4]) == L"sha256") return FetchUrl(argv[2], argv[3], true);
    if (verb == L"fetch-url" && argc == 6 && std::wstring(argv[4]) == L"sha256") {
        return FetchUrl(argv[2], argv[3], true, argv[5]);
    }
    if (verb == L"fetch-image" && argc == 4) return FetchSmall(true, argv[2], argv[3]);
    if (verb == L"fetch-rtf" && argc == 4) return FetchSmall(false, argv[2], argv[3]);
    if (verb == L"self-update" && (argc == 3 || argc == 4)) {
        return SelfUpdate(argv[2], argc == 4 ? static_cast<DWORD>(_wtoi(argv[3])) : 0);
    }
    if (verb == L"descriptor" && argc == 4) return Descriptor(argv[2], _wtoi(argv[3]));
    if (verb == L"identity" && argc == 2) return Identity();
    if (verb == L"facts" && argc == 4) return Facts(argv[2], argv[3]);
    if (verb == L"write-stamp" && argc == 3) return WriteStamp(argv[2]);
    if (verb == L"short-name" && argc == 3) return ShortName(argv[2]);
    if (verb == L"report-update" && argc == 8) return ReportUpdate(argv + 2);
    if (verb == L"report-acceptance" && argc == 3) return ReportAcceptance(argv[2]);
    if (verb == L"report-ids" && argc == 2) return ReportIds();
    if (verb == L"update" && argc >= 3 && argc <= 8 && argc != 7) {
        return Update(argv[2], argc >= 4 ? static_cast<DWORD>(_wtoi(argv[3])) : 300000, argc >= 5 ? argv[4] : nullptr,
                      argc >= 6 ? argv[5] : nullptr, argc == 8 ? argv[6] : nullptr, argc == 8 ? argv[7] : nullptr);
    }
    if (verb == L"startup-archiving" && argc == 2) {
        RunStartupArchiving();
        std::printf("{\"done\":true}\n");
        return 0;
    }
    if (verb == L"close-archiving" && argc == 2) {
        ArchiveSetAsideAgent(GetAppFolder());
        std::printf("{\"done\":true}\n");
        return 0;
    }
    if (verb == L"hash-bench" && argc == 3) return HashBench(_wtoi(argv[2]));
    if (verb == L"archiver-bench" && argc == 4) return ArchiverBench(argv[2], _wtoi(argv[3]));
    if (verb == L"verify-bench" && argc == 5) return VerifyBench(argv[2], argv[3], _wtoi(argv[4]));
    if (verb == L"statement-bench" && argc == 5) return StatementBench(argv[2], argv[3], _wtoi(argv[4]));
    if (verb == L"paint-bench" && argc == 3) return PaintBench(_wtoi(argv[2]));
    if (verb == L"check-in" && argc == 2) {
        CheckIn();
        std::printf("{\"done\":true}\n");
        return 0;
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
