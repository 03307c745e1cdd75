// The game directory check and the running-game check that open the operations.
#pragma once

#include <string>

void check_game_dir(const std::u16string& dir);
void check_game_not_running(const std::u16string& dir);
