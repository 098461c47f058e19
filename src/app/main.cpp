// GUI entry point of trevanto.exe.
#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return RunEntrySequence(instance, showCommand);
}
