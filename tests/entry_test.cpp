// The installer's entry: the command line as a real process, and its helpers in-process.
#include <gtest/gtest.h>

#include "common/path.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "installer/entry.h"
#include "installer/operations.h"
#include "installer/report.h"
#include "installer/settings.h"
#include "tests/support/install_scene.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

std::u16string installer() { return build_path(VANRO_INSTALLER_PATH); }

struct Refusal {
  std::vector<std::u16string> arguments;
  const char* message;
};

TEST(InstallerCommandLine, RefusalsGoToStandardErrorWithExitCodeOne) {
  TempDir dir;
  const std::vector<Refusal> cases = {
      {{u"--verify", u"--quiet"}, "静默操作必须指定游戏目录。"},
      {{u"--quiet"}, "静默操作必须指定游戏目录。"},
      {{u"--quiet", u"--hotkey"}, "--hotkey 后须指定一个字母，例如 X 或 Y。"},
      {{u"--hotkey", u"X", u"--hotkey", u"Y", u"--quiet"}, "--hotkey 后须指定一个字母，例如 X 或 Y。"},
      {{u"--hotkey", u"--quiet"}, "原文热键须为 A–Y 中的一个字母；功能键和 Z 保留给游戏。"},
      {{u"--quiet", u"--hotkey", u"Z"}, "原文热键须为 A–Y 中的一个字母；功能键和 Z 保留给游戏。"},
      {{u"--quiet", u"--hotkey", u"XY"}, "原文热键须为 A–Y 中的一个字母；功能键和 Z 保留给游戏。"},
      {{u"--quiet", u"--hotkey", u"1"}, "原文热键须为 A–Y 中的一个字母；功能键和 Z 保留给游戏。"},
      {{u"--Install", u"--quiet"}, "无法识别的命令行选项。"},
      {{u"--", u"--quiet"}, "无法识别的命令行选项。"},
      {{u"--quiet", u"--bogus", u"--verify"}, "无法识别的命令行选项。"},
      {{u"--quiet", u"a", u"b"}, "只可指定一个游戏目录。"},
      {{u"--quiet", dir.path, dir.path}, "只可指定一个游戏目录。"},
      {{u"--hotkey", u"X", u"--verify", u"--quiet", u"d"}, "--hotkey 仅可用于安装。"},
      {{u"--hotkey", u"x", u"--uninstall", u"--quiet", u"d"}, "--hotkey 仅可用于安装。"},
      // The last operation option wins: verify runs and refuses a folder that is no game directory.
      {{u"--install", u"--verify", u"--quiet", dir.path}, "所选目录不是 Lirra 游戏目录。"},
      // -x and /quiet are game directories, not options.
      {{u"--verify", u"--quiet", u"-x"}, "所选目录不是 Lirra 游戏目录。"},
  };
  for (const Refusal& c : cases) {
    // The working directory is an empty temporary folder, so that "-x" names no folder at all.
    RunResult run = run_program(installer(), c.arguments, {}, dir.path);
    EXPECT_EQ(run.exit_code, 1) << c.message;
    EXPECT_EQ(run.err, reported(c.message));
    EXPECT_EQ(run.out, "");
  }
}

TEST(InstallerCommandLine, AnEmptyDirectoryArgumentIsNoDirectoryAtAll) {
  // A script's unset variable, run from inside an installed game folder: the operation must not
  // run on the current directory, nor on a path that the checks cannot look at.
  install_scene::Scene scene;
  ASSERT_EQ(scene.run_installer({u"--install", u"--quiet", scene.game}).out, reported("OK"));
  const install_scene::Snapshot installed = install_scene::snapshot(scene.game);
  for (const std::vector<std::u16string>& arguments :
       {std::vector<std::u16string>{u"--uninstall", u"--quiet", u""}, {u"", u"--verify", u"--quiet"},
        {u"--install", u"--quiet", u"", u"--hotkey", u"Y"}}) {
    RunResult run = scene.run_installer(arguments, scene.game);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, reported("静默操作必须指定游戏目录。"));
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(install_scene::differences(installed, install_scene::snapshot(scene.game)), "");
  // Beside a real directory an empty argument is no second one.
  RunResult verify = scene.run_installer({u"", u"--verify", u"--quiet", scene.game, u""});
  EXPECT_EQ(verify.err, "");
  EXPECT_EQ(verify.out, reported("OK"));
#ifndef _WIN32
  // In window mode it is no directory either: the folder picker opens (here, cancelled at once).
  RunResult picked = scene.run_installer({u"--verify", u""}, scene.game);
  EXPECT_EQ(picked.exit_code, 3);
  EXPECT_EQ(picked.out + picked.err, "");
#endif
}

TEST(InstallerCommandLine, WindowModeWithoutAnswerCancels) {
  if (!boxes_return_at_once()) GTEST_SKIP() << "a message box would wait for a user here";
  TempDir dir;
  // No box can be answered Yes here, so the uninstall is cancelled with code 3 and changes nothing.
  RunResult uninstall = run_program(installer(), {u"--uninstall", dir.path});
  EXPECT_EQ(uninstall.exit_code, 3);
  EXPECT_EQ(uninstall.out, "");
  EXPECT_EQ(uninstall.err, "");
}

#ifndef _WIN32
TEST(InstallerCommandLine, LinuxBuildHasNoWindow) {
  RunResult dialog = run_program(installer(), {});
  EXPECT_EQ(dialog.exit_code, 1);
  EXPECT_EQ(dialog.err, reported("无法创建补丁安装界面。"));
  // Without a folder picker, verify without a directory is a cancelled pick.
  RunResult verify = run_program(installer(), {u"--verify"});
  EXPECT_EQ(verify.exit_code, 3);
  EXPECT_EQ(verify.out + verify.err, "");
}
#endif

// The one table that the entry and the dialog read: every operation's option, button and texts.
TEST(OperationTable, EveryOperationHasItsOptionButtonAndTexts) {
  struct Row {
    Operation operation;
    std::u16string flag;
    int button;
    std::u16string progress, dialog_done, entry_done;
    bool dialog_asks, entry_asks;
  };
  selected_hotkey = u"Q";
  const Row rows[] = {
      {Operation::install, u"--install", 1, u"正在校验并独立安装…", u"安装完成。请运行 VANROLauncher.exe；原文开关：Q。", u"",
       true, false},
      {Operation::verify, u"--verify", 1005, u"正在校验补丁和隔离资源…", u"补丁及隔离资源校验通过。",
       u"补丁及隔离资源校验通过。", false, false},
      {Operation::uninstall, u"--uninstall", 1006, u"正在校验并移除补丁…",
       u"已移除补丁。原游戏文件未改动，安装记录继续保留。", u"卸载完成。安装记录和用户配置副本仍保留在游戏目录。", true, true},
  };
  ASSERT_EQ(std::size(ALL_OPERATIONS), std::size(rows));
  for (const Row& row : rows) {
    const OperationRow& table = operation_row(row.operation);
    EXPECT_EQ(table.flag, row.flag);
    EXPECT_EQ(table.button, row.button);
    EXPECT_EQ(table.progress, row.progress);
    EXPECT_EQ(table.dialog_done(), row.dialog_done);
    EXPECT_EQ(table.entry_done, row.entry_done);
    EXPECT_EQ(table.dialog_question != nullptr, row.dialog_asks);
    EXPECT_EQ(table.entry_question != nullptr, row.entry_asks);
  }
  EXPECT_EQ(operation_row(Operation::uninstall).entry_question(u"D:\\Game"),
            u"从以下目录移除本补丁：\nD:\\Game\n\n原游戏 EXE 和 AdvData 资源保持原样。\n是否继续？");
  selected_hotkey = u"X";
}

TEST(HotkeyLetter, AcceptsOneLetterAToYWithBlanksAround) {
  const std::vector<std::pair<std::u16string, int>> accepted = {
      {u"A", 65}, {u"Y", 89}, {u"a", 65}, {u"y", 89}, {u" x \t\r\n", 88}, {u"\tq", 81}};
  for (const auto& [text, code] : accepted) EXPECT_EQ(parse_hotkey_letter(text), code);
  for (std::u16string text : {u"", u"  ", u"Z", u"z", u"1", u"XY", u"X Y", u"Ａ", u"\u00E9", u"\v"})
    EXPECT_FALSE(parse_hotkey_letter(text).has_value());
}

TEST(HotkeyLetter, TextOfKeyCodes) {
  EXPECT_EQ(hotkey_text(65), u"A");
  EXPECT_EQ(hotkey_text(89), u"Y");
  EXPECT_EQ(hotkey_text(90), u"");
  EXPECT_EQ(hotkey_text(64), u"");
  EXPECT_EQ(hotkey_text(0), u"");
}

TEST(GameDirectory, NormalisedAgainstTheCurrentDirectory) {
  EXPECT_EQ(normalize_game_dir(u""), u"");
  std::u16string current;
  ASSERT_FALSE(platform::full_path_name(u".", current));
  EXPECT_EQ(normalize_game_dir(u"sub/./x/.."), lexically_normal(join_path(current, u"sub")));
#ifdef _WIN32
  EXPECT_EQ(normalize_game_dir(u"D:\\Game\\.\\sub\\.."), u"D:\\Game");
#else
  EXPECT_EQ(normalize_game_dir(u"/Game/./sub/.."), u"/Game");
#endif
}

TEST(GameDirectory, DefaultIsTheFirstCandidateHoldingAPlainZdhExe) {
  TempDir root;
  std::u16string game = root.file(u"game"), package = root.file(u"game/package");
  make_test_dir(package);
  std::u16string saved = installer_dir;
  installer_dir = package;
  EXPECT_EQ(default_game_dir(), u"");  // nothing found, unless the test runs inside a game directory
  make_test_dir(game + u"/ZDH.EXE/");   // a folder named ZDH.EXE does not count
  EXPECT_EQ(default_game_dir(), u"");
  TempDir other;
  write_test_file(other.file(u"ZDH.EXE"), "exe");
  installer_dir = other.path;
  EXPECT_EQ(default_game_dir(), lexically_normal(other.path));
  write_test_file(package + u"/ZDH.EXE", "exe");
  installer_dir = package;
  EXPECT_EQ(default_game_dir(), lexically_normal(package));
  installer_dir = saved;
}

TEST(Report, TextNamesTheReportedFileOnASecondLine) {
  std::u16string saved = reported_file;
  reported_file.clear();
  EXPECT_EQ(report_text(PatchError("所选目录不是 Lirra 游戏目录。")), u"所选目录不是 Lirra 游戏目录。");
  reported_file = u"_vanro/hook.ini";
  EXPECT_EQ(report_text(PatchError("File size exceeds limit")), u"File size exceeds limit\n文件：_vanro/hook.ini");
  // A library message that is not UTF-8 is still shown, with replacement characters.
  reported_file.clear();
  EXPECT_EQ(report_text(std::runtime_error("bad \xff path")), u"bad \uFFFD path");
  reported_file = saved;
}

}  // namespace
