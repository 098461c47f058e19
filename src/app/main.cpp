// GUI entry point of trevanto.exe.
#include <windows.h>

#include "app/entry.h"

// The house style's parameter names, not winbase.h's (hInstance, nShowCmd).
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return RunEntrySequence(instance, showCommand);
}
