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

std::string EncodePathForBatch(const std::wstring& path, const ConsoleCharEncoder& encode) {
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

std::string SelfUpdateBatchText(unsigned long pid, const std::string& newExePath, const std::string& currentExePath) {
    const std::string id = std::to_string(pid);
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
