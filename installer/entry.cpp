#include "installer/entry.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"
#include "installer/operations.h"
#include "installer/report.h"
#include "installer/settings.h"

namespace {

constexpr char16_t CAPTION[] = u"Lirra 简体中文补丁";

struct CommandLine {
  Operation operation = Operation::install;
  std::u16string directory;
  bool has_directory = false;
  bool has_hotkey = false;
};

std::optional<Operation> operation_named(const std::u16string& argument) {
  for (Operation operation : ALL_OPERATIONS)
    if (operation_row(operation).flag == argument) return operation;
  return std::nullopt;
}

bool is_blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

CommandLine parse_arguments(const std::vector<std::u16string>& arguments) {
  CommandLine line;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::u16string& argument = arguments[i];
    if (argument == u"--quiet") continue;
    if (std::optional<Operation> operation = operation_named(argument)) {
      line.operation = *operation;
    } else if (argument == u"--hotkey") {
      if (line.has_hotkey || i + 1 == arguments.size()) throw PatchError("--hotkey 后须指定一个字母，例如 X 或 Y。");
      std::optional<int> key = parse_hotkey_letter(arguments[++i]);
      if (!key) throw PatchError("原文热键须为 A–Y 中的一个字母；功能键和 Z 保留给游戏。");
      selected_hotkey = hotkey_text(*key);
      line.has_hotkey = true;
    } else if (argument.size() >= 2 && argument.compare(0, 2, u"--") == 0) {
      throw PatchError("无法识别的命令行选项。");
    } else if (argument.empty()) {
      // A script's unset variable: no directory was given, not the current one.
      continue;
    } else {
      if (line.has_directory) throw PatchError("只可指定一个游戏目录。");
      line.directory = argument;
      line.has_directory = true;
    }
  }
  if (line.has_hotkey && line.operation != Operation::install) throw PatchError("--hotkey 仅可用于安装。");
  return line;
}

int run_operation(const CommandLine& line, const InstallerWindow& window) {
  bool window_mode = !quiet_mode;
  // An install in window mode is the main dialog, which the player runs the operations from.
  if (window_mode && line.operation == Operation::install)
    return window.run_main_dialog(line.has_directory ? line.directory : default_game_dir());

  std::u16string directory = line.directory;
  if (!line.has_directory) {
    if (quiet_mode) throw PatchError("静默操作必须指定游戏目录。");
    directory = window.browse_for_game_dir(nullptr);
    if (directory.empty()) return 3;
  }
  std::u16string game_dir = normalize_game_dir(directory);

  const OperationRow& row = operation_row(line.operation);
  if (window_mode && row.entry_question &&
      platform::message_box(nullptr, row.entry_question(game_dir), CAPTION,
                            platform::MB_YESNO_ | platform::MB_ICONQUESTION_) != platform::IDYES_)
    return 3;
  row.run(game_dir);
  if (window_mode) platform::message_box(nullptr, std::u16string(row.entry_done), CAPTION, platform::MB_ICONINFORMATION_);
  platform::write_stdout("OK\n");
  return 0;
}

}  // namespace

std::optional<int> parse_hotkey_letter(const std::u16string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  if (end - begin != 1) return std::nullopt;
  char16_t c = text[begin];
  if (c >= u'A' && c <= u'Y') return static_cast<int>(c);
  if (c >= u'a' && c <= u'y') return static_cast<int>(c - u'a' + u'A');
  return std::nullopt;
}

std::u16string hotkey_text(int key_code) {
  if (key_code < 65 || key_code > 89) return {};
  return std::u16string(1, static_cast<char16_t>(key_code));
}

std::u16string normalize_game_dir(const std::u16string& path) {
  if (path.empty()) return {};
  std::u16string full;
  if (std::error_code error = platform::full_path_name(path, full))
    throw std::filesystem::filesystem_error("absolute", std::filesystem::path(path), error);
  return lexically_normal(full);
}

std::u16string default_game_dir() {
  std::u16string current;
  platform::full_path_name(u".", current);
  for (const std::u16string& candidate : {installer_dir, parent_path(installer_dir), current}) {
    if (candidate.empty()) continue;
    if (is_plain_file(join_path(candidate, u"ZDH.EXE"))) return normalize_game_dir(candidate);
  }
  return {};
}

int run_installer(const std::vector<std::u16string>& arguments, const InstallerWindow& window) {
  // Before anything can fail, so that every error is reported the quiet way.
  for (std::size_t i = 1; i < arguments.size(); ++i)
    if (arguments[i] == u"--quiet") quiet_mode = true;
  platform::initialize_com();
  try {
    CommandLine line = parse_arguments(arguments);
    installer_dir = parent_path(get_module_path());
    return run_operation(line, window);
  } catch (const std::exception& error) {
    report_entry_error(error);
    return 1;
  }
}
