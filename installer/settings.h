// The installer's process-wide settings, alive for the whole process.
#pragma once

#include <string>

extern bool quiet_mode;                // no message box of any kind
extern std::u16string selected_hotkey; // the source-text hotkey letter A–Y, "X" at start
extern std::u16string installer_dir;   // the package root: the folder of the running installer
