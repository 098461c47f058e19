// Names, paths and stamps of the update pipeline. No Win32 here.
#pragma once
#include <functional>
#include <string>
#include <vector>

inline constexpr wchar_t DefaultPackageName[] = L"descarga.bin";

// The local file name for a package address: query and fragment dropped,
// the text after the last "/", unsafe bytes replaced by "_", widened byte
// by byte; "descarga.bin" when nothing usable is left.
std::wstring PackageFileNameFromUrl(const std::string& url);

// False for a package name that Windows would alter or that would name the
// application folder itself or its parent once the extension is cut off:
// empty, ending in a dot or a blank, or with nothing but dots and blanks
// before its last "."; a device name (CON, NUL, COM1, ...) with or without
// an extension; a name of the agent's own (IsAgentOwnName); and for a ZIP
// package that would unpack into one of the agent's own folders
// (actualizador_registros, actualizaciones, versiones, in any letter case).
// A name's short (8.3) spelling is not caught here: the caller compares the
// long form of an existing path as well.
bool IsUsablePackageName(const std::wstring& name);

// True when the name, in any letter case and as Windows stores it (trailing
// dots and blanks dropped), is one of the agent's own files or folders in
// the application folder: its executable, the archiver, the files of its
// own update and hand-over, a program's set-aside copy, a package being
// saved (".parcial"), the record, backup and versions folders.
bool IsAgentOwnName(const std::wstring& name);

// True when the folder name, as Windows stores it and in any letter case,
// is one of the agent's own folders.
bool NamesAgentFolder(std::wstring folder);

// The n-th name tried for a new folder of the agent's own (a ZIP package's
// extraction folder, a backup folder): the base first (n = 0), then
// "<base>_2", "<base>_3", ...
std::wstring NumberedName(const std::wstring& base, int n);

// How many names NumberedName offers before the agent gives up.
inline constexpr int NumberedNameAttempts = 100;

// The suffix of the file a package is written to before it is moved over
// its name.
inline constexpr wchar_t PartialSuffix[] = L".parcial";

// The text without its last extension (only when the "." follows the last separator).
std::wstring StripExtension(const std::wstring& text);

// True when the text after the last "." of the whole path is "zip" in any case.
bool HasZipExtension(const std::wstring& path);

// True when the name, lower-cased, has at least 4 characters and ends in ".exe".
bool IsExecutablePackageName(const std::wstring& name);

// The text after the last "\" or "/".
std::wstring NameAfterLastSeparator(const std::wstring& path);

// ASCII letters lower-cased (the rest unchanged).
std::wstring LowerAscii(std::wstring text);

// True when the name, lower-cased, ends with the (lower-case) suffix.
bool EndsWithIgnoringCase(const std::wstring& name, const std::wstring& lowerSuffix);

// "yymmdd_hhmmss" from the local time (year modulo 100).
std::wstring BackupStampText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                             unsigned second);

// The folder above the application folder (one trailing separator ignored);
// empty when there is none.
std::wstring ParentFolder(const std::wstring& appFolder);

// The name a program is set aside under while its package is fetched.
std::wstring SetAsideFileName(const std::wstring& stem);

// What start-up does with a program left under its set-aside name by an
// update that never finished: moved back under its own name when that name
// is free, otherwise (the program, old or new, is in place) moved into a
// backup, so that no set-aside stays and the program it is stays kept.
enum class SetAsideRepair { PutBack, BackUp };

struct SetAsideLeftover {
    std::wstring setAsideName;
    std::wstring programName;
    SetAsideRepair repair = SetAsideRepair::PutBack;
};

// The catalogue programs, in catalogue order, whose set-aside name is a file.
std::vector<SetAsideLeftover> SetAsidesLeftBehind(const std::function<bool(const std::wstring& name)>& isFile);
