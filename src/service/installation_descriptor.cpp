#include "service/installation_descriptor.h"

#include <windows.h>

#include <vector>

#include "app/app_folder_rules.h"
#include "app/catalogue.h"
#include "build_settings.h"
#include "service/descriptor_text.h"
#include "support/file_probe.h"
#include "support/text.h"

namespace {

// The fixed file information's version halves; false when unreadable.
bool ReadFileVersion(const std::wstring& path, DWORD& mostSignificant, DWORD& leastSignificant) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return false;
    std::vector<BYTE> block(size, 0);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
        length == 0) {
        return false;
    }
    mostSignificant = info->dwFileVersionMS;
    leastSignificant = info->dwFileVersionLS;
    return true;
}

std::string Utf8OrEmpty(const std::wstring& wide) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size < 2) return std::string();
    std::vector<char> bytes(size, 0);
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    return std::string(bytes.data());
}

DWORD ReadNumber(HKEY key, const char* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return value;
}

std::wstring RunningModulePath() {
    wchar_t buffer[ModulePathCapacity] = {};
    const DWORD copied = GetModuleFileNameW(nullptr, buffer, ModulePathCapacity);
    if (copied == 0 || copied >= ModulePathCapacity) return std::wstring();
    return buffer;
}

}  // namespace

std::string ProductVersion(const std::wstring& path) {
    DWORD ms = 0, ls = 0;
    return ReadFileVersion(path, ms, ls) ? FileVersionText(ms, ls) : std::string();
}

std::string ProductVersionOrUnavailable(const std::wstring& path) {
    const std::string version = ProductVersion(path);
    return version.empty() ? VersionUnavailable : version;
}

std::string WindowsVersionText() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    const DWORD major = ReadNumber(key, "CurrentMajorVersionNumber");
    const DWORD minor = ReadNumber(key, "CurrentMinorVersionNumber");
    char build[64] = {};
    DWORD buildSize = 63;
    RegQueryValueExA(key, "CurrentBuild", nullptr, nullptr, reinterpret_cast<BYTE*>(build), &buildSize);
    build[63] = '\0';
    const DWORD ubr = ReadNumber(key, "UBR");
    RegCloseKey(key);
    return WindowsVersionFromValues(major, minor, build, ubr);
}

std::string HostNameUtf8() {
    wchar_t name[256] = {};
    DWORD size = 256;
    if (!GetComputerNameW(name, &size)) return std::string();
    return Utf8OrEmpty(name);
}

std::string ProductPathUtf8(const std::string& exeName) {
    const std::wstring module = RunningModulePath();
    if (module.empty()) return std::string();
    return Utf8OrEmpty(JoinPath(AppFolderFromModulePath(module), WidenBytes(exeName)));
}

std::string ReadLastUpdateStamp(const std::string& settingsKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    char value[64] = {};
    DWORD size = 63;
    const LONG status =
        RegQueryValueExA(key, LastUpdateValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::string();
    return std::string(value);
}

bool WriteLastUpdateStamp(const std::string& settingsKey) {
    // An empty sub-key would open HKEY_CURRENT_USER itself.
    if (settingsKey.empty()) return false;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, settingsKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::string stamp = UtcStampText(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    const LONG status =
        RegSetValueExA(key, LastUpdateValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(stamp.c_str()),
                       static_cast<DWORD>(stamp.size()) + 1);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool WriteInstallationDescriptor(const std::wstring& appFolder, int row, std::string& out) {
    if (row < 0 || row >= ProductCount) return false;
    const ProductEntry& product = ProductCatalogue[row];
    const std::wstring exePath = JoinPath(appFolder, WidenBytes(product.exeNameNarrow));
    if (!IsExistingFile(exePath)) return false;

    DescriptorFacts facts;
    facts.agentVersion = settings::AgentVersion;
    facts.productKey = product.productKey;
    facts.productVersion = ProductVersionOrUnavailable(exePath);
    facts.hostName = HostNameUtf8();
    facts.windowsVersion = WindowsVersionText();
    facts.installedPath = ProductPathUtf8(product.exeNameNarrow);
    facts.lastUpdate = ReadLastUpdateStamp(SettingsKeyForExe(product.exeNameNarrow));
    out += DescriptorText(facts);
    return true;
}

InstallationIdentity GatherInstallationIdentity() {
    InstallationIdentity identity;
    const std::wstring module = RunningModulePath();
    if (module.empty()) return identity;
    const std::wstring folder = AppFolderFromModulePath(module);
    for (int row : StartupOrder) {
        const ProductEntry& product = ProductCatalogue[row];
        const std::wstring exePath = JoinPath(folder, WidenBytes(product.exeNameNarrow));
        if (!IsExistingFile(exePath)) continue;
        identity.productKey = product.productKey;
        identity.exeName = product.exeNameNarrow;
        identity.settingsKey = SettingsKeyForExe(product.exeNameNarrow);
        identity.productVersion = ProductVersion(exePath);
        break;
    }
    return identity;
}
