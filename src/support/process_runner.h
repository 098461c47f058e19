// Child programs, started hidden or elevated and waited for without time-out.
#pragma once
#include <string>

// Starts the command line hidden (CREATE_NO_WINDOW) and waits for its end.
// True when the exit code was obtained, whatever it is. When the child fails
// to start, returns false with the Win32 error code in exitCode.
bool RunHidden(const std::wstring& commandLine, unsigned long& exitCode);

// As RunHidden, but true only for exit code 0.
bool RunHiddenExpectZero(const std::wstring& commandLine, unsigned long& exitCode);

// Runs "%SystemRoot%\System32\cmd.exe /c " + command through the "runas" verb
// and waits for it. exitCode is preset to 0xFFFFFFFF and only overwritten by
// the child's real exit code; a declined elevation returns false.
bool RunElevatedCmd(const std::wstring& command, unsigned long& exitCode);

constexpr unsigned long ElevatedExitCodeUnset = 0xFFFFFFFFul;

// Starts a program through the "runas" verb with the given show command and
// waits for it. False when the launch failed (a declined elevation too),
// with the Win32 error code in launchError. When it launched, exitCode is
// the child's exit code (exitCodeRead true), or 0xFFFFFFFF when no process
// handle came back or the code could not be read.
bool RunElevated(const std::wstring& file, const std::wstring& parameters, int showCommand, unsigned long& exitCode,
                 unsigned long& launchError, bool& exitCodeRead);

// The launch behind RunElevated: ShellExecuteExW with the "runas" verb,
// which shows the consent prompt. True with the child's process handle (null
// when none came back), or false with the Win32 error code (ERROR_CANCELLED
// when the prompt was declined).
using ElevatedLaunch = bool (*)(const std::wstring& file, const std::wstring& parameters, int showCommand,
                                void*& process, unsigned long& error);

// Puts another launch in place of ShellExecuteExW; the agent itself never
// calls this. The test harness does, because Wine never shows the consent
// prompt and so a declined elevation cannot happen there otherwise.
void SetElevatedLaunch(ElevatedLaunch launch);

// Starts a command line hidden in the given working folder without waiting
// for it. False with the Win32 error code when it did not start.
bool StartHidden(const std::wstring& commandLine, const std::wstring& workingFolder, unsigned long& error);
