// powershell.exe stand-in for the Wine prefix (Wine's own does nothing).
//
// It understands the cmdlets the agent uses:
//   ... -Command "Compress-Archive -Path '<folder>\*' -DestinationPath '<zip>' -Force"
//   ... -Command "Compress-Archive -LiteralPath '<file>' -DestinationPath '<zip>' -Force"
//   ... -Command "Expand-Archive -LiteralPath '<zip>' -DestinationPath '<folder>' [-Force]"
// and does the work with the bench's 7za.exe (see BenchSevenZipPath). As the
// real program does, it joins the arguments after -Command with blanks and
// parses that text again, so quotes lost to the first parse stay lost. The
// text is read as PowerShell reads it: single-quoted strings are literal
// (a doubled quote stands for one), double-quoted strings and bare words
// expand $variables (none is set, so they vanish) and take a backtick as an
// escape; -Path is a wildcard pattern (* ? [set], backtick-escaped) and
// -LiteralPath is not.
//
// Every command line is appended (UTF-8, CR LF) to %TREVANTO_PS_LOG% or to
// C:\powershell_double.log. %TREVANTO_PS_EXIT%, when set, makes it exit with
// that code without doing anything. %TREVANTO_PS_PAUSE%, when set, names a
// file that it creates before doing anything, and then it waits until it is
// ended: a test can look at the folders while the agent waits for it.
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

bool IsSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201a' || c == L'\u201b';
}

bool IsNameCharacter(wchar_t c) {
    return iswalnum(c) || c == L'_' || c == L':';
}

// "$name" or "${name}" at i: the variable's value, empty as no variable is
// set here. Moves i past it; false when no variable starts at i.
bool ExpandVariable(const std::wstring& text, size_t& i) {
    if (text[i] != L'$' || i + 1 >= text.size()) return false;
    if (text[i + 1] == L'{') {
        const size_t close = text.find(L'}', i + 2);
        i = close == std::wstring::npos ? text.size() : close + 1;
        return true;
    }
    if (!IsNameCharacter(text[i + 1])) return false;
    ++i;
    while (i < text.size() && IsNameCharacter(text[i])) ++i;
    return true;
}

// Single-quoted string from the opening quote at i: literal, a doubled quote
// stands for one.
void SingleQuoted(const std::wstring& text, size_t& i, std::wstring& token) {
    ++i;
    while (i < text.size()) {
        if (IsSingleQuote(text[i])) {
            if (i + 1 < text.size() && IsSingleQuote(text[i + 1])) {
                token += text[i];
                i += 2;
                continue;
            }
            ++i;
            return;
        }
        token += text[i++];
    }
}

// Double-quoted string from the opening quote at i: variables expand, a
// backtick takes the next character as it is, "" stands for one quote.
void DoubleQuoted(const std::wstring& text, size_t& i, std::wstring& token) {
    ++i;
    while (i < text.size()) {
        const wchar_t c = text[i];
        if (c == L'"') {
            if (i + 1 < text.size() && text[i + 1] == L'"') {
                token += c;
                i += 2;
                continue;
            }
            ++i;
            return;
        }
        if (c == L'`' && i + 1 < text.size()) {
            token += text[i + 1];
            i += 2;
        } else if (!ExpandVariable(text, i)) {
            token += c;
            ++i;
        }
    }
}

// PowerShell-like tokens: blanks separate; single quotes keep their text
// literally, double quotes and bare words expand variables and backticks.
std::vector<std::wstring> Tokens(const std::wstring& text) {
    std::vector<std::wstring> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && iswspace(text[i])) ++i;
        if (i >= text.size()) break;
        std::wstring token;
        while (i < text.size() && !iswspace(text[i])) {
            const wchar_t c = text[i];
            if (IsSingleQuote(c)) {
                SingleQuoted(text, i, token);
            } else if (c == L'"') {
                DoubleQuoted(text, i, token);
            } else if (c == L'`' && i + 1 < text.size()) {
                token += text[i + 1];
                i += 2;
            } else if (!ExpandVariable(text, i)) {
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

// PowerShell wildcard match, case-insensitive: * ? [set] [a-z], and a
// backtick makes the next character plain.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* name) {
    if (*pattern == 0) return *name == 0;
    if (*pattern == L'*') return WildcardMatch(pattern + 1, name) || (*name != 0 && WildcardMatch(pattern, name + 1));
    if (*name == 0) return false;
    if (*pattern == L'?') return WildcardMatch(pattern + 1, name + 1);
    if (*pattern == L'[') {
        const wchar_t* p = pattern + 1;
        bool matched = false;
        while (*p != 0 && *p != L']') {
            wchar_t low = *p == L'`' && p[1] != 0 ? *++p : *p;
            wchar_t high = low;
            if (p[1] == L'-' && p[2] != 0 && p[2] != L']') {
                p += 2;
                high = *p == L'`' && p[1] != 0 ? *++p : *p;
            }
            const wchar_t c = towlower(*name);
            if (c >= towlower(low) && c <= towlower(high)) matched = true;
            ++p;
        }
        if (*p != L']') return false;  // an unclosed set is an invalid pattern
        return matched && WildcardMatch(p + 1, name + 1);
    }
    const wchar_t literal = *pattern == L'`' && pattern[1] != 0 ? pattern[1] : *pattern;
    const int width = *pattern == L'`' && pattern[1] != 0 ? 2 : 1;
    return towlower(literal) == towlower(*name) && WildcardMatch(pattern + width, name + 1);
}

bool HasWildcard(const std::wstring& component) {
    for (size_t i = 0; i < component.size(); ++i) {
        if (component[i] == L'`') {
            ++i;
        } else if (component[i] == L'*' || component[i] == L'?' || component[i] == L'[') {
            return true;
        }
    }
    return false;
}

std::wstring WithoutEscapes(const std::wstring& component) {
    std::wstring out;
    for (size_t i = 0; i < component.size(); ++i) {
        if (component[i] == L'`' && i + 1 < component.size()) ++i;
        out += component[i];
    }
    return out;
}

// What -Path names: each path component is a wildcard pattern; only
// existing items are returned.
std::vector<std::wstring> ResolvePath(const std::wstring& pattern) {
    std::vector<std::wstring> found = {L""};
    size_t start = 0;
    while (start <= pattern.size()) {
        size_t end = pattern.find(L'\\', start);
        if (end == std::wstring::npos) end = pattern.size();
        const std::wstring component = pattern.substr(start, end - start);
        std::vector<std::wstring> next;
        for (const std::wstring& base : found) {
            const std::wstring prefix = base.empty() ? base : base + L"\\";
            if (!HasWildcard(component)) {
                next.push_back(prefix + WithoutEscapes(component));
                continue;
            }
            WIN32_FIND_DATAW entry;
            HANDLE find = FindFirstFileW((prefix + L"*").c_str(), &entry);
            if (find == INVALID_HANDLE_VALUE) continue;
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L".." && WildcardMatch(component.c_str(), name.c_str())) {
                    next.push_back(prefix + name);
                }
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        found.swap(next);
        start = end + 1;
    }
    std::vector<std::wstring> existing;
    for (const std::wstring& path : found) {
        if (Exists(path)) existing.push_back(path);
    }
    return existing;
}

// The items to pack: -LiteralPath names one item as it is, -Path resolves
// wildcards. Empty when nothing exists.
std::vector<std::wstring> CompressSources(const std::vector<std::wstring>& tokens) {
    const std::wstring literal = Parameter(tokens, L"-LiteralPath");
    if (!literal.empty()) return Exists(literal) ? std::vector<std::wstring>{literal} : std::vector<std::wstring>();
    const std::wstring path = Parameter(tokens, L"-Path");
    return path.empty() ? std::vector<std::wstring>() : ResolvePath(path);
}

int CompressArchive(const std::vector<std::wstring>& tokens) {
    const std::vector<std::wstring> sources = CompressSources(tokens);
    const std::wstring destination = Parameter(tokens, L"-DestinationPath");
    if (sources.empty() || destination.empty()) return 1;
    if (Exists(destination)) {
        if (!HasSwitch(tokens, L"-Force")) return 1;
        if (!DeleteFileW(destination.c_str())) return 1;
    }
    std::wstring command = L"\"" + BenchSevenZipPath() + L"\" a -tzip \"" + destination + L"\"";
    for (const std::wstring& source : sources) command += L" \"" + source + L"\"";
    return RunAndWait(command, 1) == 0 ? 0 : 1;
}

int ExpandArchive(const std::vector<std::wstring>& tokens) {
    std::wstring source = Parameter(tokens, L"-LiteralPath");
    if (source.empty()) {
        const std::vector<std::wstring> matches = ResolvePath(Parameter(tokens, L"-Path"));
        if (matches.size() == 1) source = matches[0];
    }
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
    const std::wstring pause = EnvVar(L"TREVANTO_PS_PAUSE");
    if (!pause.empty()) {
        CloseHandle(CreateFileW(pause.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        for (;;) Sleep(1000);
    }

    const std::vector<std::wstring> tokens = Tokens(CommandText());
    if (tokens.empty()) return 1;
    if (SameText(tokens[0], L"Compress-Archive")) return CompressArchive(tokens);
    if (SameText(tokens[0], L"Expand-Archive")) return ExpandArchive(tokens);
    return 1;
}
