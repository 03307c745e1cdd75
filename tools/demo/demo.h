// The demo and test fixture generator: a synthetic game folder, the matching pack input, and the
// signed package made from it, all derived from a seed and the given files alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

enum class DemoProfile { small, realistic };

struct DemoOptions {
  DemoProfile profile = DemoProfile::small;
  uint64_t seed = 0;
  std::filesystem::path out;
  // Optional: empty means a placeholder made here.
  std::filesystem::path launcher, installer, zdh_exe, runtime_dll;
  std::filesystem::path key;  // the signing key; empty means the project's test key
};

struct DemoSummary {
  bool up_to_date = false;  // OUT already held this very demo; nothing was written
  std::size_t files = 0;
  uint64_t bytes = 0;
};

// Writes OUT/game, OUT/input, OUT/package and the stamp OUT/.vanro-demo-stamp. OUT must be missing,
// empty, or an earlier demo (which is replaced unless its stamp shows the same options and inputs).
// Runs that share OUT wait for each other.
DemoSummary make_demo(const DemoOptions& options);

// Writes OUT (missing or empty) as a game folder that a package made from PATCH_TREE installs into:
// ZDH.EXE long enough for the launch copy's fixes, and AdvData/MES/<name>.MES for each script of the
// tree's _vanro/save-offsets.bin, the only game files the installer asks for. Returns the number of
// scripts. The package's own patch/ folder serves as PATCH_TREE too.
std::size_t make_game_for(const std::filesystem::path& patch_tree, const std::filesystem::path& out);
