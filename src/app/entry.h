// The agent's entry sequence: mode selection and the agent-mode stages.
#pragma once
#include <windows.h>

#include <string>

// Runs the whole process's work and returns its exit code (always 0).
int RunEntrySequence(HINSTANCE instance, int showCommand);

// Makes sure 7za.exe stands in the folder, downloading it when missing or
// no program and showing the error box when that fails. The run goes on
// either way.
void BootstrapArchiver(const std::wstring& appFolder);
