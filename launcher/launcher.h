// VANROLauncher: entry, status report, launch copy repair and game start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// No message boxes: set when any argument is exactly "--quiet". The launcher's own, beside the
// installer's flag of the same name in another program.
namespace launcher {
extern bool quiet_mode;
}

int run_launcher(const std::vector<std::u16string>& arguments);
void report_message(const std::u16string& text, bool is_error);
void repair_launch_copy(const std::u16string& game_dir);
void start_launch_copy(const std::u16string& game_dir);
std::u16string windows_error_text(uint32_t code);
