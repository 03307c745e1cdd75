#include "common/launch_copy.h"

#include <stdexcept>

#include "common/file_io.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"

// The eight byte fixes for the one ZDH.EXE that the patch supports: distinct offsets in ascending
// order, all below LAUNCH_COPY_READ_LIMIT. This table is the only place they are written down.
const std::array<LaunchFix, 8> LAUNCH_FIX_TABLE = {{
    {0x180400, 0xEB},
    {0x181A3C, 0x90},
    {0x18C010, 0x01},
    {0x1913F7, 0x7F},
    {0x19E2A0, 0xC3},
    {0x1A5555, 0x33},
    {0x1B0C08, 0x00},
    {0x1BF7E1, 0xA5},
}};

std::string build_launch_copy(const std::u16string& zdh_exe_path) {
  std::string bytes = read_whole_file(zdh_exe_path, LAUNCH_COPY_READ_LIMIT);
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE) {
    if (fix.offset >= bytes.size()) throw std::out_of_range("ZDH.EXE is too short for the launch copy's byte fixes");
    bytes[fix.offset] = static_cast<char>(fix.value);
  }
  if (!has_launch_fixes(bytes)) throw PatchError("启动副本的补丁指令校验失败。");
  return bytes;
}

bool has_launch_fixes(const std::string& bytes) {
  return launch_fixes_in_piece(0, bytes.data(), bytes.size()) == LAUNCH_FIX_TABLE.size();
}

std::size_t launch_fixes_in_piece(uint64_t offset, const char* bytes, uint64_t length) {
  std::size_t found = 0;
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE)
    if (fix.offset >= offset && fix.offset - offset < length && static_cast<uint8_t>(bytes[fix.offset - offset]) == fix.value)
      ++found;
  return found;
}

// Read in pieces: a launch copy is several megabytes, and only eight of its bytes matter here.
bool file_has_launch_fixes(const std::u16string& path) {
  std::size_t found = 0;
  try {
    read_file_in_pieces(path, LAUNCH_COPY_READ_LIMIT, [&](uint64_t offset, const char* bytes, uint64_t length) {
      found += launch_fixes_in_piece(offset, bytes, length);
    });
  } catch (...) {
    return false;
  }
  return found == LAUNCH_FIX_TABLE.size();
}

void write_launch_copy(const std::u16string& target, const std::string& bytes) {
  check_no_reparse_points(target);
  create_directories(parent_path(target));
  check_no_reparse_points(target);

  // The copy exists only as this staging file until the rename: a crash leaves no file under
  // the final name that a launcher or a verify would take for a finished launch copy.
  StagedWrite write{target + STAGING_SUFFIX, target, "无法创建启动副本的临时文件。", "无法完整写入启动副本。",
                    "无法保存启动副本，目标可能已存在或正被使用。"};
  write.check = [&] {
    if (!file_has_launch_fixes(write.staging)) throw PatchError("启动副本的补丁指令校验失败。");
  };
  write_staged_file(write, bytes);
}
