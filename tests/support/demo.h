// The demo package that tools/vanro-demo makes (small profile, seed 1), for tests that need a
// complete, signed package and a game folder it fits.
#pragma once

#include <string>

struct DemoPaths {
  std::u16string root;     // the folder that holds the three below
  std::u16string game;     // ZDH.EXE (longer than the largest byte-fix offset), AdvData/MES/<name>.MES
                           // for the 511 scripts of the save table, AdvData/GRP/SYSTEM, AdvData/SE
  std::u16string input;    // the pack input: 300 translated scripts, 203 graphics, nine fixed files
  std::u16string package;  // patch-manifest.tsv, patch/ and this build's installer as VANROInstaller.exe;
                           // the launcher in it is this build's VANROLauncher
};

// The three folders under a demo's root folder.
DemoPaths demo_paths_at(const std::u16string& root);

// Made once per build and shared by every test, so never change it: copy what a test changes into
// its TempDir first (copy_tree). Natively the first call in a test program runs vanro-demo, which
// leaves a demo it finds up to date alone and makes concurrent callers wait for each other. Under
// Wine it is a copy, in the temporary folder on C:, of the folder that the ctest fixture demo_small
// made with the native build's vanro-demo before the tests ran. Raises std::runtime_error when it
// cannot be had.
const DemoPaths& small_demo();

// Copies a folder with everything in it to a path where nothing exists yet.
void copy_tree(const std::u16string& from, const std::u16string& to);
