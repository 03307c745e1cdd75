// The launch copy repair and the game start of VANROLauncher.
#include <optional>
#include <string>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/retrying.h"
#include "common/text.h"
#include "launcher/launcher.h"

namespace {

std::u16string launch_copy_path(const std::u16string& game_dir) {
  return join_path(game_dir, utf8_to_wide(LAUNCH_COPY_PATH));
}

bool present_as_file(const std::u16string& path) {
  std::optional<uint32_t> attributes = platform::file_attributes(path);
  return attributes && (*attributes & platform::ATTRIBUTE_DIRECTORY) == 0;
}

void check_runtime_path(const std::u16string& path) {
  if (crosses_reparse_point(path)) throw PatchError("Runtime paths may not traverse reparse points");
}

// A staging file can only be left by a launcher that died while it wrote one. The launch copy is
// absent (or we would not be here) and the staging name is ours, so it is removed rather than
// letting one killed launch block every later one. A link at that name is refused, also one that
// Wine shows as a plain file: deleting it would delete the file it points to. Anything else that is
// not a plain file is left alone, and the create-only write below then refuses.
void remove_stale_staging(const std::u16string& staging) {
  std::optional<uint32_t> attributes = platform::file_attributes(staging);
  if (!attributes) return;
  if ((*attributes & platform::ATTRIBUTE_REPARSE_POINT) || is_disguised_link(staging))
    throw PatchError("Runtime paths may not traverse reparse points");
  if (!is_plain(*attributes) || retrying::delete_file(staging)) return;
  // Where a deleted file's name stays until whoever holds it open lets go (Wine, FAT and exFAT
  // drives, older Windows), the staging name is free only then.
  retrying::until_done([&] { return !path_exists(staging); });
}

// The rebuilt copy is written under the staging name, create-only and flushed, and only then
// renamed to its final name without replacement. So a write that fails halfway, or a launcher
// that dies during it, never leaves a file under the final name that a later launch would take
// for a present launch copy and start. The rename fails when anything stands at the final name,
// a folder of that name included: the target cannot be created as a new file.
void write_launch_copy_staged(const std::u16string& target, const std::string& bytes) {
  std::u16string staging = target + STAGING_SUFFIX;
  remove_stale_staging(staging);
  write_staged_file({staging, target, "Cannot create new file", "Incomplete file write", "Cannot create new file"}, bytes);
}

}  // namespace

void repair_launch_copy(const std::u16string& game_dir) {
  std::u16string target = launch_copy_path(game_dir);
  // An existing copy is started as it is; checking its content is the installer's verify.
  if (present_as_file(target)) return;
  // Checked before ZDH.EXE is read, so that nothing is read through a linked _vanro.
  check_runtime_path(target);
  std::string bytes = build_launch_copy(join_path(game_dir, u"ZDH.EXE"));
  create_directories(parent_path(target));
  check_runtime_path(target);
  write_launch_copy_staged(target, bytes);
  report_message(u"已从本目录的 ZDH.EXE 重新生成缺失的内部启动副本，将继续启动。\n"
                 u"安装器的主动校验仍使用原安装记录；原版发生过变化时可能报告该项不同。",
                 false);
}

void start_launch_copy(const std::u16string& game_dir) {
  bool runtime_present = present_as_file(join_path(game_dir, utf8_to_wide("_vanro/runtime/winmm.dll")));
  std::u16string application = launch_copy_path(game_dir);
  std::u16string command_line = u"\"" + application + u"\"";
  if (std::error_code error = platform::start_process(application, command_line, game_dir))
    throw PatchError("Windows 未能创建游戏进程。\n" + wide_to_utf8(windows_error_text(static_cast<uint32_t>(error.value()))));
  if (!runtime_present)
    report_message(u"已创建游戏进程并继续尝试启动，但缺少 _vanro\\runtime\\winmm.dll。\n"
                   u"汉化组件未加载，中文正文、原文层和存档适配不可用，可能显示原版日文。\n"
                   u"请从本版本安装包恢复该文件；进程创建成功不表示游戏或汉化已正常运行。",
                   false);
}

std::u16string windows_error_text(uint32_t code) {
  std::optional<std::u16string> description = platform::system_error_text(code);
  if (!description || description->empty()) description = u"系统未提供说明";
  return u"Windows 错误 " + utf8_to_wide(std::to_string(code)) + u"：" + *description;
}
