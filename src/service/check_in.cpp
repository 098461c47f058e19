#include "service/check_in.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <utility>

#include "app/app_folder.h"
#include "app/app_folder_rules.h"
#include "app/product_probe.h"
#include "build_settings.h"
#include "net/api_client.h"
#include "service/installation_descriptor.h"
#include "service/report_text.h"
#include "support/journal_format.h"

namespace {

// Text mode: every LF of the response is written as CR LF. False when the
// file cannot be made or not all of the text reached it.
bool WriteResponseFile(const std::wstring& path, const std::string& text) {
    FILE* file = _wfopen(path.c_str(), L"wt");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

bool EnsureFolder(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_PATH_NOT_FOUND) return error == ERROR_ALREADY_EXISTS;
    const int result = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return result == ERROR_SUCCESS || result == ERROR_FILE_EXISTS || result == ERROR_ALREADY_EXISTS;
}

std::string PostDescriptor(const std::string& descriptor) {
    std::string body, errorText;
    const bool succeeded = ApiPostJson(settings::CheckInPath, descriptor, body, errorText);
    return CheckInResponseText(succeeded, std::move(body), errorText);
}

bool CheckIn() {
    const std::wstring appFolder = GetAppFolder();
    const std::wstring recordFolder = JoinPath(appFolder, RecordFolderName);
    EnsureFolder(recordFolder);

    const int row = FindProductRow(appFolder, StartupOrder);
    if (row < 0) return false;
    std::string descriptor;
    if (!WriteInstallationDescriptor(appFolder, row, descriptor)) return false;

    const std::string response = PostDescriptor(descriptor);
    WriteResponseFile(JoinPath(recordFolder, ReceivedTextName), response);
    return WriteResponseFile(JoinPath(recordFolder, ReceivedJsonName), response);
}
