// The launch copy: the user's ZDH.EXE with eight fixed bytes replaced.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/path_safety.h"

struct LaunchFix {
  uint32_t offset;
  uint8_t value;
};

extern const std::array<LaunchFix, 8> LAUNCH_FIX_TABLE;
inline constexpr uint64_t LAUNCH_COPY_READ_LIMIT = 67108864;
inline constexpr char LAUNCH_COPY_PATH[] = "_vanro/runtime/VANROGame.exe";

std::string build_launch_copy(const std::u16string& zdh_exe_path);
bool has_launch_fixes(const std::string& bytes);
bool file_has_launch_fixes(const std::u16string& path);
// How many fixes lie within the piece of a file that starts at `offset` and hold their value. The
// offsets are distinct, so a file whose pieces count all eight carries every fix.
std::size_t launch_fixes_in_piece(uint64_t offset, const char* bytes, uint64_t length);
void write_launch_copy(const std::u16string& target, const std::string& bytes);
