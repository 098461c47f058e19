// The floor of the archiver check's benchmark (scripts/benchmark.sh
// archiver): a minimal Win32 program that reads a whole file into one block,
// `repeats` times, and prints the milliseconds per read as one JSON line.
// No hashing: what any check of the file's bytes costs at least.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const int repeats = _wtoi(argv[2]);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    unsigned long long total = 0;
    for (int i = 0; i < repeats; ++i) {
        HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 1;
        LARGE_INTEGER size = {};
        GetFileSizeEx(file, &size);
        std::vector<unsigned char> block(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &read, nullptr);
        total += read;
        CloseHandle(file);
    }
    QueryPerformanceCounter(&end);
    const double ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    std::printf("{\"bytes\":%llu,\"ms_per_read\":%.3f}\n", total / (repeats > 0 ? repeats : 1), ms / (repeats > 0 ? repeats : 1));
    return 0;
}
