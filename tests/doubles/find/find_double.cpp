// find.exe stand-in for Wine, whose own rejects the /I switch. Prints the
// lines of standard input that contain the string (without regard to case
// with /I); exit code 0 when a line matched, 1 when none did, 2 on misuse.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return text;
}

std::string Narrow(const wchar_t* wide) {
    std::string out;
    for (; *wide; ++wide) out.push_back(static_cast<char>(*wide & 0xFF));
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool ignoreCase = false;
    std::string needle;
    bool haveNeedle = false;
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"/I") == 0) {
            ignoreCase = true;
        } else if (!haveNeedle) {
            needle = Narrow(argv[i]);
            haveNeedle = true;
        }
    }
    if (!haveNeedle) return 2;
    if (ignoreCase) needle = Lower(needle);

    bool matched = false;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        const std::string line = buffer;
        if ((ignoreCase ? Lower(line) : line).find(needle) != std::string::npos) {
            std::fputs(buffer, stdout);
            matched = true;
        }
    }
    return matched ? 0 : 1;
}
