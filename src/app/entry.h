// The agent's entry sequence: mode selection and the agent-mode stages.
#pragma once
#include <windows.h>

#include <string>

// Runs the whole process's work and returns its exit code (always 0).
int RunEntrySequence(HINSTANCE instance, int showCommand);

// Makes sure a pinned 7za.exe stands in the folder: one that is missing
// or not pinned (a page, another program) is fetched again, and a download
// that is not pinned is deleted. When that fails the error box shows (with
// TRUST_E_BAD_DIGEST for a download that is not pinned). The run goes on
// either way.
void BootstrapArchiver(const std::wstring& appFolder);
