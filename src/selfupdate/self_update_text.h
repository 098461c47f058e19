// Texts of the self-update: the request path, the answer's "url" member,
// the replacement batch file and the warning box. No Win32 here.
#pragma once
#include <functional>
#include <string>

inline constexpr wchar_t NewAgentFileName[] = L"trevanto_new.exe";
inline constexpr wchar_t SelfUpdateBatchName[] = L"actualizar_agente.bat";
inline constexpr wchar_t SelfUpdateErrorTitle[] = L"Trevanto - Error de auto-actualizaci\u00f3n";

// "/apis/trevanto/v1/agente-version?version=" + the agent version, unencoded.
std::string SelfUpdateRequestPath();

// Text search, not a JSON parse: the bytes between "<key>":" and the next
// double quote, unchanged; empty when the pattern or the closing quote is
// missing. Blanks around the colon make the pattern miss.
std::string ExtractJsonString(const std::string& body, const std::string& key);

// Converts one wide character to the console's code page. Returns false
// when the code page has no such character.
using ConsoleCharEncoder = std::function<bool(wchar_t, std::string& bytes)>;

// The OEM code page of the Windows "UTF-8 for worldwide languages" option.
constexpr unsigned Utf8CodePage = 65001;

// A path for the batch file in the console's code page: UTF-8 when that is
// 65001 (the encoder is not asked then), else each character through the
// encoder, or its low byte when the code page lacks it.
std::string EncodePathForBatch(const std::wstring& path, unsigned codePage, const ConsoleCharEncoder& encode);

// The replacement batch file, CR LF line ends; paths already encoded. Their
// percent signs are doubled, so cmd.exe reads them as plain characters.
std::string SelfUpdateBatchText(unsigned long pid, const std::string& newExePath, const std::string& currentExePath);

// The warning box's text for a failed download of the new agent.
std::wstring SelfUpdateErrorText(const std::string& url, unsigned long errorCode);
