// Installer mode: the program picker window.
#pragma once

// True when the window was created and its message loop ended.
bool RunInstaller();
