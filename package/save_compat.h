// The check that the save compatibility table fits the game's scripts and the patch's translated scripts.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "package/manifest.h"

// The digests of files that the caller has, in this operation, just resolved against the same
// package root (walking every folder above them), found to be plain files and read whole, by record
// path: a translated script among them is neither walked nor read a second time.
using HashedFiles = std::map<std::string, std::string>;

void check_save_compat(const std::u16string& game_dir, const std::u16string& package_root,
                       const std::vector<ManifestRecord>& files, const HashedFiles& hashed = {});
