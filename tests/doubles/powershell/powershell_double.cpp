// powershell.exe stand-in for the Wine prefix (Wine's own does nothing).
//
// It understands the cmdlets the agent uses (paths quoted plainly or with
// backslash-escaped quotes, as the agent writes them):
//   ... -Command Compress-Archive -Path \"<folder>\*\" -DestinationPath \"<zip>\" -Force
//   ... -Command Compress-Archive -LiteralPath \"<file>\" -DestinationPath \"<zip>\" -Force
//   ... -Command Expand-Archive -LiteralPath \"<zip>\" -DestinationPath \"<folder>\" [-Force]
// and does the work with the bench's 7za.exe (see BenchSevenZipPath). As the real
// program does, it joins the arguments after -Command with blanks and parses
// that text again, so quotes lost to the first parse stay lost.
//
// Every command line is appended (UTF-8, CR LF) to %TREVANTO_PS_LOG% or to
// C:\powershell_double.log. %TREVANTO_PS_EXIT%, when set, makes it exit with
// that code without doing anything.
#include <windows.h>
#include <shellapi.h>

#include <cwctype>
#include <string>

#include "../common/bench_programs.h"
#include "../common/utf8.h"
#include <vector>

namespace {

std::wstring EnvVar(const wchar_t* name) {
    wchar_t buffer[2048] = {};
    const DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
    return (n > 0 && n < 2048) ? std::wstring(buffer, n) : std::wstring();
}

void LogCommandLine() {
    std::wstring path = EnvVar(L"TREVANTO_PS_LOG");
    if (path.empty()) path = L"C:\\powershell_double.log";
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line = Utf8(GetCommandLineW()) + "\r\n";
    DWORD written = 0;
    WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(file);
}

bool SameText(const std::wstring& a, const wchar_t* b) {
    return lstrcmpiW(a.c_str(), b) == 0;
}

// The text after -Command, as PowerShell sees it.
std::wstring CommandText() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring text;
    bool after = false;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        if (after) {
            if (!text.empty()) text += L' ';
            text += argv[i];
        } else if (SameText(argv[i], L"-Command")) {
            after = true;
        }
    }
    LocalFree(argv);
    return text;
}

// PowerShell-like tokens: blanks separate, double or single quotes group.
std::vector<std::wstring> Tokens(const std::wstring& text) {
    std::vector<std::wstring> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && iswspace(text[i])) ++i;
        if (i >= text.size()) break;
        std::wstring token;
        while (i < text.size() && !iswspace(text[i])) {
            const wchar_t c = text[i];
            if (c == L'"' || c == L'\'') {
                const size_t close = text.find(c, i + 1);
                const size_t end = close == std::wstring::npos ? text.size() : close;
                token += text.substr(i + 1, end - i - 1);
                i = end == text.size() ? end : end + 1;
            } else {
                token += c;
                ++i;
            }
        }
        tokens.push_back(token);
    }
    return tokens;
}

std::wstring Parameter(const std::vector<std::wstring>& tokens, const wchar_t* name) {
    for (size_t i = 1; i + 1 < tokens.size(); ++i) {
        if (SameText(tokens[i], name)) return tokens[i + 1];
    }
    return std::wstring();
}

bool HasSwitch(const std::vector<std::wstring>& tokens, const wchar_t* name) {
    for (size_t i = 1; i < tokens.size(); ++i) {
        if (SameText(tokens[i], name)) return true;
    }
    return false;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Wildcard "<folder>\*" means the folder's contents; the folder must exist.
bool SourceExists(const std::wstring& source) {
    if (source.size() > 2 && source.compare(source.size() - 2, 2, L"\\*") == 0) {
        return Exists(source.substr(0, source.size() - 2));
    }
    return Exists(source);
}

int CompressArchive(const std::vector<std::wstring>& tokens) {
    std::wstring source = Parameter(tokens, L"-Path");
    if (source.empty()) source = Parameter(tokens, L"-LiteralPath");
    const std::wstring destination = Parameter(tokens, L"-DestinationPath");
    if (source.empty() || destination.empty() || !SourceExists(source)) return 1;
    if (Exists(destination)) {
        if (!HasSwitch(tokens, L"-Force")) return 1;
        if (!DeleteFileW(destination.c_str())) return 1;
    }
    const DWORD code =
        RunAndWait(L"\"" + BenchSevenZipPath() + L"\" a -tzip \"" + destination + L"\" \"" + source + L"\"", 1);
    return code == 0 ? 0 : 1;
}

int ExpandArchive(const std::vector<std::wstring>& tokens) {
    std::wstring source = Parameter(tokens, L"-LiteralPath");
    if (source.empty()) source = Parameter(tokens, L"-Path");
    const std::wstring destination = Parameter(tokens, L"-DestinationPath");
    if (source.empty() || destination.empty() || !Exists(source)) return 1;
    const DWORD code =
        RunAndWait(L"\"" + BenchSevenZipPath() + L"\" x \"" + source + L"\" \"-o" + destination + L"\" -y", 1);
    return code == 0 ? 0 : 1;
}

}  // namespace

int wmain() {
    LogCommandLine();
    const std::wstring forced = EnvVar(L"TREVANTO_PS_EXIT");
    if (!forced.empty()) return _wtoi(forced.c_str());

    const std::vector<std::wstring> tokens = Tokens(CommandText());
    if (tokens.empty()) return 1;
    if (SameText(tokens[0], L"Compress-Archive")) return CompressArchive(tokens);
    if (SameText(tokens[0], L"Expand-Archive")) return ExpandArchive(tokens);
    return 1;
}
