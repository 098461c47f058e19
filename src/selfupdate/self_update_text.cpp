#include "selfupdate/self_update_text.h"

#include "build_settings.h"
#include "support/text.h"

std::string SelfUpdateRequestPath() {
    return std::string("/apis/trevanto/v1/agente-version?version=") + settings::AgentVersion;
}

std::string ExtractJsonString(const std::string& body, const std::string& key) {
    const std::string pattern = "\"" + key + "\":\"";
    const size_t start = body.find(pattern);
    if (start == std::string::npos) return std::string();
    const size_t valueStart = start + pattern.size();
    const size_t end = body.find('"', valueStart);
    if (end == std::string::npos) return std::string();
    return body.substr(valueStart, end - valueStart);
}

namespace {

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-8 of a wide text whose wchar_t is UTF-16 (Windows) or UTF-32; a lone
// surrogate becomes U+FFFD.
std::string Utf8FromWide(const std::wstring& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        // wchar_t is an unsigned UTF-16 unit on Windows; the signed one of the
        // native tests only ever holds code points.
        unsigned long code = static_cast<unsigned long>(text[i]);  // NOLINT(bugprone-signed-char-misuse)
        const bool high = code >= 0xD800 && code <= 0xDBFF;
        const unsigned long next = i + 1 < text.size() ? static_cast<unsigned long>(text[i + 1]) : 0;
        if (high && next >= 0xDC00 && next <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        AppendUtf8(out, code);
    }
    return out;
}

// cmd.exe expands %...% even inside quotes; %% stands for one %.
std::string DoublePercentSigns(const std::string& text) {
    std::string out;
    for (char c : text) {
        out.push_back(c);
        if (c == '%') out.push_back('%');
    }
    return out;
}

}  // namespace

std::string EncodePathForBatch(const std::wstring& path, unsigned codePage, const ConsoleCharEncoder& encode) {
    if (codePage == Utf8CodePage) return Utf8FromWide(path);
    std::string out;
    for (wchar_t c : path) {
        std::string bytes;
        if (encode(c, bytes)) {
            out += bytes;
        } else {
            // Not expressible in the console code page: the low byte is the
            // best left to do, and such a path will not be found by cmd.exe.
            out.push_back(static_cast<char>(static_cast<unsigned>(c) & 0xFFu));
        }
    }
    return out;
}

std::string SelfUpdateBatchText(unsigned long pid, const std::string& newExePathEncoded,
                                const std::string& currentExePathEncoded) {
    const std::string id = std::to_string(pid);
    const std::string newExePath = DoublePercentSigns(newExePathEncoded);
    const std::string currentExePath = DoublePercentSigns(currentExePathEncoded);
    std::string text;
    auto line = [&text](const std::string& content) { text += content + "\r\n"; };
    line("@echo off");
    line(":: Esperar a que el proceso padre termine");
    line(":wait");
    line("tasklist /FI \"PID eq " + id + "\" 2>NUL | find /I \"" + id + "\" >NUL");
    line("if not errorlevel 1 (");
    line("    ping -n 2 127.0.0.1 >NUL");
    line("    goto wait");
    line(")");
    line(":: Reemplazar exe");
    line("copy /Y \"" + newExePath + "\" \"" + currentExePath + "\"");
    line("del /F /Q \"" + newExePath + "\"");
    line(":: Relanzar actualizador");
    line("start \"\" \"" + currentExePath + "\"");
    line(":: Autoeliminarse");
    line("(goto) 2>NUL & del \"%~f0\"");
    return text;
}

std::wstring SelfUpdateErrorText(const std::string& url, unsigned long errorCode) {
    return L"No se pudo descargar la actualizaci\u00f3n del actualizador:\n" + WidenBytes(url) + L"\n\nError: " +
           std::to_wstring(errorCode);
}
