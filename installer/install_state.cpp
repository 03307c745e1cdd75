#include "installer/install_state.h"

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "common/file_io.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"

namespace {

constexpr std::string_view RECORD_DIR_PREFIX = "VANRO_backup_";

// The record directory is named in the header by a single plain element; anything that could
// lead elsewhere (a separator, a drive, "..") is refused before it is ever joined to a path.
bool is_record_dir_name(const std::string& name) {
  return name.compare(0, RECORD_DIR_PREFIX.size(), RECORD_DIR_PREFIX) == 0 &&
         name.find('/') == std::string::npos && is_safe_relative_path(name);
}

}  // namespace

InstallState read_install_state(const std::u16string& game_dir) {
  // A directory without the patch fails right here: the report names the file that is missing.
  reported_file = INSTALL_STATE_NAME;
  std::string bytes = read_whole_file(join_path(game_dir, INSTALL_STATE_NAME), MANIFEST_LIMIT);
  std::vector<std::string> lines = split_lines(bytes);
  if (lines.empty()) throw PatchError("安装状态文件为空。");

  std::vector<std::string> header = split_fields(lines[0]);
  if (header[0] == "VANROSTATE01")
    throw PatchError("检测到旧版覆盖式补丁，请先使用安装该版本的原安装器卸载，再安装隔离版补丁。");
  if (header.size() != 2 || header[0] != "VANROSTATE02" || !is_record_dir_name(header[1]))
    throw PatchError("安装状态头无效。");

  InstallState state;
  reported_file = utf8_to_wide(header[1]);
  state.record_dir = resolve_package_path(game_dir, header[1]);
  bool is_directory = false;
  if (std::error_code error = platform::directory_status(state.record_dir, is_directory))
    throw std::filesystem::filesystem_error("status", std::filesystem::path(state.record_dir), error);
  if (!is_directory) throw PatchError("安装记录目录缺失，请保留现状并恢复该目录后重试。");

  reported_file = INSTALL_STATE_NAME;
  state.entries = parse_manifest_records(lines, 1, RecordMode::install_state);
  return state;
}

std::u16string make_record_dir_name() {
  platform::LocalTime now = platform::local_time();
  char name[96];
  std::snprintf(name, sizeof name, "VANRO_backup_%04u%02u%02u_%02u%02u%02u_%lu", now.year, now.month, now.day,
                now.hour, now.minute, now.second, platform::current_process_id());
  return utf8_to_wide(name);
}

std::string format_record_text(const std::u16string& game_dir) {
  const std::u16string lines[] = {
      u"本目录保存安装记录及卸载时保留的用户配置、日志。",
      u"游戏目录：" + game_dir,
      u"原版 ZDH.EXE 保持原样。汉化版请使用 VANROLauncher.exe 启动。",
      u"安装器生成的内部游戏组件保存在 _vanro 中。",
      u"汉化资源位于 _vanro/patch/AdvData；原 AdvData 不被替换。",
      u"不安装系统字体或注册表项。卸载时仅移除本补丁新增文件。",
  };
  std::u16string text;
  for (const std::u16string& line : lines) text += line + u"\r\n";
  return wide_to_utf8(text);
}

std::string format_install_state(const std::u16string& record_dir_name, const std::vector<ManifestRecord>& records) {
  return "VANROSTATE02\t" + wide_to_utf8(record_dir_name) + "\n" + format_manifest_records(records);
}

std::string user_edits_candidate(const std::string& name, std::size_t attempt) {
  std::string path = "user-edits/" + name;
  if (attempt > 0) path += "." + std::to_string(attempt - 1);
  return path;
}
