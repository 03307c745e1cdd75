// The three operations. Each returns nothing on success and raises PatchError on failure.
#pragma once

#include <string>

void install_patch(const std::u16string& game_dir);
void store_selected_hotkey(const std::u16string& game_dir);
void verify_installation(const std::u16string& game_dir);
void uninstall_patch(const std::u16string& game_dir, bool rollback);
void save_user_copy(const std::u16string& file, const std::u16string& record_dir, const std::string& name);
