#include "support/file_probe.h"

#include <windows.h>

#include "support/handles.h"

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ReadProgramSignature(const std::wstring& path, bool& isProgram, unsigned long& errorCode) {
    isProgram = false;
    errorCode = 0;
    ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        errorCode = GetLastError();
        return false;
    }
    char signature[2] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), signature, sizeof signature, &read, nullptr)) {
        errorCode = GetLastError();
        return false;
    }
    isProgram = read == sizeof signature && signature[0] == 'M' && signature[1] == 'Z';
    return true;
}

bool HasProgramSignature(const std::wstring& path) {
    bool isProgram = false;
    unsigned long errorCode = 0;
    return ReadProgramSignature(path, isProgram, errorCode) && isProgram;
}
