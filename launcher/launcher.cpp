// VANROLauncher's entry: the command line, the game directory check, the status line and the one
// way every message of the launcher reaches the user.
#include "launcher/launcher.h"

#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/text.h"

bool launcher::quiet_mode = false;

namespace {

// Present means what the status line and the repair both mean by it: the attributes can be read
// and do not mark a directory. A link counts as present; what it points at is not asked.
bool present_as_file(const std::u16string& path) {
  std::optional<uint32_t> attributes = platform::file_attributes(path);
  return attributes && (*attributes & platform::ATTRIBUTE_DIRECTORY) == 0;
}

// Only "--quiet" is looked at here, before anything is judged, so that even the refusal of a
// bad argument placed before it shows no box.
void scan_for_quiet(const std::vector<std::u16string>& arguments) {
  for (std::size_t i = 1; i < arguments.size(); ++i)
    if (arguments[i] == u"--quiet") launcher::quiet_mode = true;
}

bool parse_options(const std::vector<std::u16string>& arguments) {
  bool check_mode = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == u"--check")
      check_mode = true;
    else if (arguments[i] != u"--quiet")
      throw PatchError("未知参数。支持 --check、--quiet。");
  }
  return check_mode;
}

void check_game_dir(const std::u16string& game_dir) {
  // A link named ZDH.EXE is accepted: only a missing name or a directory is refused.
  bool has_game = present_as_file(join_path(game_dir, u"ZDH.EXE"));
  bool has_scripts = false;
  if (has_game) {
    std::u16string scripts = join_path(join_path(game_dir, u"AdvData"), u"MES");
    std::error_code error = platform::directory_status(scripts, has_scripts);
    if (error) throw std::filesystem::filesystem_error("is_directory", std::filesystem::path(scripts), error);
  }
  if (!has_game || !has_scripts)
    throw PatchError("未启动游戏：目录缺少 ZDH.EXE 或 AdvData\\MES。请从完整游戏目录运行启动器。");
}

void write_status_line(const std::u16string& game_dir) {
  bool copy_present = present_as_file(join_path(game_dir, utf8_to_wide(LAUNCH_COPY_PATH)));
  bool runtime_present = present_as_file(join_path(game_dir, utf8_to_wide("_vanro/runtime/winmm.dll")));
  platform::write_stdout(
      "{\"status\":\"ready_to_attempt\",\"launched\":false,\"hash_gate\":false,"
      "\"rendering_verified\":false,\"generated_copy_present\":");
  platform::write_stdout(copy_present ? "true" : "false");
  platform::write_stdout(",\"runtime_present\":");
  platform::write_stdout(runtime_present ? "true" : "false");
  platform::write_stdout("}\n");
}

int run_checked(const std::vector<std::u16string>& arguments) {
  bool check_mode = parse_options(arguments);
  std::u16string game_dir = parent_path(get_module_path());
  check_game_dir(game_dir);
  if (check_mode) {
    write_status_line(game_dir);
    if (!launcher::quiet_mode)
      report_message(u"目录中的约定文件名检查完成，尚未启动游戏或验证中文绘制。\n"
                     u"缺失的内部副本会在启动时尝试重建；资源异常由运行组件恢复或按功能降级。\n"
                     u"需要检查文件完整性时，请使用安装器的“校验补丁”。",
                     false);
    return 0;
  }
  repair_launch_copy(game_dir);
  start_launch_copy(game_dir);
  return 0;
}

// The report of a failure must itself never fail: a message that is not valid UTF-8 (a system
// error's text may come in the local code page) is shown with replacement characters, and an
// empty one, which would tell the user nothing, is reported like a failure without a message.
void report_failure(const char* message) noexcept {
  try {
    std::string utf8 = message ? message : "";
    std::u16string text;
    if (utf8.empty()) {
      text = u"启动发生异常，游戏未确认启动。";
    } else {
      try {
        text = utf8_to_wide(utf8);
      } catch (const PatchError&) {
        text = utf8_to_wide_lossy(utf8);
      }
    }
    report_message(text, true);
  } catch (...) {
    // Nothing is left to report through; the exit code still tells the failure.
  }
}

}  // namespace

void report_message(const std::u16string& text, bool is_error) {
  std::string line = wide_to_utf8(text) + "\n";
  platform::write_stderr(line);
  if (!launcher::quiet_mode)
    platform::message_box(nullptr, text, u"Lirra 简体中文启动器",
                          platform::MB_OK_ | (is_error ? platform::MB_ICONERROR_ : platform::MB_ICONINFORMATION_));
}

int run_launcher(const std::vector<std::u16string>& arguments) {
  try {
    scan_for_quiet(arguments);
    return run_checked(arguments);
  } catch (const std::exception& failure) {
    report_failure(failure.what());
  } catch (...) {
    report_failure(nullptr);
  }
  return 1;
}
