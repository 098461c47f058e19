// 7za.exe stand-in that does the real work with the bench's 7za.exe and
// then reports 7-Zip's warning exit code (1) instead of success.
#include <windows.h>

#include <string>

#include "../common/bench_programs.h"

int wmain() {
    // Same arguments: everything after this program's own (quoted) name.
    std::wstring arguments = GetCommandLineW();
    const size_t start = arguments[0] == L'"' ? arguments.find(L'"', 1) + 1 : arguments.find(L' ');
    arguments = start == std::wstring::npos ? std::wstring() : arguments.substr(start);
    const DWORD code = RunAndWait(L"\"" + BenchSevenZipPath() + L"\"" + arguments, 2);
    return code == 0 ? 1 : static_cast<int>(code);
}
