// Setting the program's executable aside, backing it up with the data
// files, and the robust move that brings a new executable into place.
#pragma once
#include <string>

enum class SetAsideVariant { ExecutablePackage, ZipPackage };

// stem + "2.exe" in the application folder.
std::wstring SetAsidePath(const std::wstring& appFolder, const std::wstring& stem);

// At start-up: every catalogue program left under its set-aside name by an
// update that never finished is moved back under its own name, so that the
// folder keeps its program (RESTAURADO_EXE_ANTERIOR in descargas.csv), or,
// when the program is in place, into a backup folder
// (ARCHIVO_ANTERIOR_A_ACTUALIZACIONES), so that no set-aside stays behind.
void RestoreInterruptedSetAsides(const std::wstring& appFolder);

// Copies the program at currentPath aside to stem + "2.exe": the stored
// package or the unpacked executable then replaces it in one rename, so
// that the folder never lacks the program. Journals one line. On failure
// `error` holds the copy's system error code.
bool SetAsideExecutable(const std::wstring& appFolder, const std::wstring& currentPath, const std::wstring& stem,
                        SetAsideVariant variant, unsigned long& error);
bool SetAsideExecutable(const std::wstring& appFolder, const std::wstring& currentPath, const std::wstring& stem,
                        SetAsideVariant variant);

// Copies a file that a package is about to replace into a dated backup
// folder under actualizaciones (a new one when that folder already holds
// the name), journalling COPIA_PREVIA_PAQUETE or ERROR_COPIA_PREVIA_PAQUETE.
// False, with the system error code, when the copy could not be made.
bool BackUpBeforeReplacing(const std::wstring& appFolder, const std::wstring& path, unsigned long& error);

// Moves the set-aside file to actualizaciones\<stamp>\<stem>.exe.
bool MoveToBackups(const std::wstring& appFolder, const std::wstring& setAsidePath, const std::wstring& stem,
                   std::wstring& movedPath, std::wstring& backupFolder);

// Copies *.MDB and *.BDMARV into the backup folder and zips the folder.
void BackupDataFiles(const std::wstring& appFolder, const std::wstring& backupFolder, SetAsideVariant variant);

// MoveToBackups, the caller's journal line and, on success, BackupDataFiles.
// Returns whether the set-aside file went to the backup (movedPath set).
bool BackUpSetAsideExecutable(const std::wstring& appFolder, const std::wstring& setAsidePath, const std::wstring& stem,
                              SetAsideVariant variant, std::wstring& movedPath);

bool MoveFileWithRetry(const std::wstring& source, const std::wstring& destination);

int CopyFilesByPattern(const std::wstring& sourceFolder, const std::wstring& pattern,
                       const std::wstring& destinationFolder, const std::wstring& journalFolder);

bool ZipFolder(const std::wstring& folder, const std::wstring& journalFolder, std::wstring& zipPath);
