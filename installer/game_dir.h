// The game directory check and the running-game check that open the operations.
#pragma once

#include <string>

// The refusal of a folder that is not a game directory; the dialog puts the focus back into the
// directory box after it.
inline constexpr char NOT_A_GAME_DIRECTORY[] = "所选目录不是 Lirra 游戏目录。";

void check_game_dir(const std::u16string& dir);
void check_game_not_running(const std::u16string& dir);
