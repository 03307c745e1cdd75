// The check that the save compatibility table fits the game's scripts and the patch's translated scripts.
#pragma once

#include <string>
#include <vector>

#include "package/manifest.h"

void check_save_compat(const std::u16string& game_dir, const std::u16string& package_root,
                       const std::vector<ManifestRecord>& files);
