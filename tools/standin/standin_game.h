// The stand-in game: plays ZDH.EXE in tests and in the demo, where the real game cannot be shipped.
// The portable half (game.cpp) writes the record; the platform halves supply the program entry,
// the command line and the loading of the in-game runtime.
#pragma once

#include <string>

// Writes standin-game.log in the current directory, having started the runtime beside the image.
int run_standin_game(const std::string& command_line);

// Loads the runtime library at this full path and calls its entry. Returns what happened, as one
// word for the record: "started", "missing", "not-loadable" or "no-entry".
std::string start_runtime(const std::u16string& library_path);

// The name of the runtime's entry, exported by runtime.cpp.
inline constexpr char RUNTIME_ENTRY[] = "vanro_runtime_start";
