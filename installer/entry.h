// The installer's entry: command line, window or windowless run, one operation, exit code.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The key code (65–89) of a single letter A–Y or a–y, blanks around it ignored.
std::optional<int> parse_hotkey_letter(const std::u16string& text);
// The one-letter text of a key code 65–89, else empty.
std::u16string hotkey_text(int key_code);
std::u16string normalize_game_dir(const std::u16string& path);
std::u16string default_game_dir();

// What the entry needs of the window, which is built above it: the main dialog (its exit code, 0 or
// 3) and the folder picker (the empty text when cancelled).
struct InstallerWindow {
  int (*run_main_dialog)(const std::u16string& game_dir_text);
  std::u16string (*browse_for_game_dir)(void* owner);
};

// The whole entry; `arguments` holds the program name first. Returns the exit code (0, 1 or 3).
int run_installer(const std::vector<std::u16string>& arguments, const InstallerWindow& window);
