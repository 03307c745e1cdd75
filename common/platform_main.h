// The programs' entry points: wWinMain on Windows (GUI subsystem, Unicode), main on Linux.
// Both hand the argument vector, program name first, to the program's own run function.
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <cstdlib>

#define VANRO_PROGRAM_ENTRY(run)                                    \
  int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {           \
    std::vector<std::u16string> arguments;                          \
    for (int i = 0; i < __argc; ++i)                                \
      arguments.emplace_back(reinterpret_cast<const char16_t*>(__wargv[i])); \
    return run(arguments);                                          \
  }
#else
#include "common/text.h"

#define VANRO_PROGRAM_ENTRY(run)                                    \
  int main(int argc, char** argv) {                                 \
    std::vector<std::u16string> arguments;                          \
    for (int i = 0; i < argc; ++i) arguments.push_back(utf8_to_wide_lossy(argv[i])); \
    return run(arguments);                                          \
  }
#endif
