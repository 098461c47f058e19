#include "update/package_naming.h"

#include <cstdio>
#include <cwchar>
#include <utility>

#include "app/catalogue.h"
#include "housekeeping/archiving_text.h"
#include "selfupdate/self_update_text.h"
#include "support/journal_format.h"

std::wstring PackageFileNameFromUrl(const std::string& url) {
    if (url.empty()) return DefaultPackageName;
    std::string name = url.substr(0, url.find_first_of("?#"));
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.empty()) return DefaultPackageName;
    static const std::string unsafe = "<>:\"/\\|?*";
    std::wstring wide;
    for (char c : name) {
        const bool replaced = static_cast<signed char>(c) < 0x20 || unsafe.find(c) != std::string::npos;
        wide.push_back(replaced ? L'_' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

namespace {

// The agent's own folders in the application folder, which a ZIP package
// must never be unpacked into.
const wchar_t* const AgentFolderNames[] = {RecordFolderName, BackupRootName, VersionsFolderName};

// The agent's own files in the application folder (lower case).
const wchar_t* const AgentFileNames[] = {L"trevanto.exe", L"7za.exe", NewAgentFileName, SelfUpdateBatchName,
                                         SetAsideAgentName};

// Windows opens a device, not a file, for these names, whatever follows a dot.
const wchar_t* const DeviceNames[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};

// The name as Windows stores it: trailing dots and blanks dropped.
std::wstring StoredForm(std::wstring name) {
    const size_t kept = name.find_last_not_of(L". ");
    name.erase(kept == std::wstring::npos ? 0 : kept + 1);
    return name;
}

bool IsDeviceName(const std::wstring& name) {
    std::wstring base = LowerAscii(name.substr(0, name.find(L'.')));
    base = StoredForm(base);
    for (const wchar_t* device : DeviceNames) {
        if (base == device) return true;
    }
    // COM1..COM9 and LPT1..LPT9 (and the superscript digits Windows also takes).
    if (base.size() != 4) return false;
    const std::wstring head = base.substr(0, 3);
    const wchar_t digit = base[3];
    const bool numbered = (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    return (head == L"com" || head == L"lpt") && numbered;
}

}  // namespace

bool NamesAgentFolder(std::wstring folder) {
    folder = LowerAscii(StoredForm(std::move(folder)));
    for (const wchar_t* agentFolder : AgentFolderNames) {
        if (folder == agentFolder) return true;
    }
    return false;
}

bool IsAgentOwnName(const std::wstring& name) {
    const std::wstring stored = LowerAscii(StoredForm(name));
    if (NamesAgentFolder(stored)) return true;
    for (const wchar_t* agentFile : AgentFileNames) {
        if (stored == agentFile) return true;
    }
    for (const ProductEntry& product : ProductCatalogue) {
        if (stored == SetAsideFileName(StripExtension(product.exeName))) return true;
    }
    return EndsWithIgnoringCase(stored, PartialSuffix);
}

bool IsUsablePackageName(const std::wstring& name) {
    if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
    const size_t dot = name.rfind(L'.');
    const std::wstring stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    if (stem.find_first_not_of(L". ") == std::wstring::npos) return false;
    if (IsDeviceName(name) || IsAgentOwnName(name)) return false;
    return !(HasZipExtension(name) && NamesAgentFolder(stem));
}

std::wstring NumberedName(const std::wstring& base, int n) {
    return n == 0 ? base : base + L"_" + std::to_wstring(n + 1);
}

std::wstring StripExtension(const std::wstring& text) {
    const size_t dot = text.rfind(L'.');
    const size_t separator = text.find_last_of(L"\\/");
    if (dot == std::wstring::npos) return text;
    if (separator != std::wstring::npos && dot < separator) return text;
    return text.substr(0, dot);
}

std::wstring LowerAscii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

bool HasZipExtension(const std::wstring& path) {
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    return LowerAscii(path.substr(dot + 1)) == L"zip";
}

bool EndsWithIgnoringCase(const std::wstring& name, const std::wstring& lowerSuffix) {
    if (name.size() < lowerSuffix.size()) return false;
    return LowerAscii(name.substr(name.size() - lowerSuffix.size())) == lowerSuffix;
}

bool IsExecutablePackageName(const std::wstring& name) {
    return name.size() >= 4 && EndsWithIgnoringCase(name, L".exe");
}

std::wstring NameAfterLastSeparator(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring BackupStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                             unsigned second) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%02u%02u%02u_%02u%02u%02u", year % 100, month, day, hour, minute, second);
    return text;
}

std::wstring ParentFolder(const std::wstring& appFolder) {
    std::wstring folder = appFolder;
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    const size_t separator = folder.find_last_of(L"\\/");
    if (separator == std::wstring::npos || separator == 0) return std::wstring();
    return folder.substr(0, separator);
}

std::wstring SetAsideFileName(const std::wstring& stem) {
    return stem + L"2.exe";
}

std::vector<SetAsideLeftover> SetAsidesLeftBehind(const std::function<bool(const std::wstring& name)>& isFile) {
    std::vector<SetAsideLeftover> leftovers;
    for (const ProductEntry& product : ProductCatalogue) {
        const std::wstring setAside = SetAsideFileName(StripExtension(product.exeName));
        if (!isFile(setAside)) continue;
        const SetAsideRepair repair = isFile(product.exeName) ? SetAsideRepair::BackUp : SetAsideRepair::PutBack;
        leftovers.push_back({setAside, product.exeName, repair});
    }
    return leftovers;
}
