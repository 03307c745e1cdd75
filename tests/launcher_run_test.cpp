// VANROLauncher run as a real process, copied into a temporary game directory each time (it works
// on its own folder), with the stand-in game as ZDH.EXE and the stand-in runtime as winmm.dll.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/launch_copy.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"
#include "launcher/launcher.h"
#include "tests/support/demo.h"
#include "tests/support/message.h"
#include "tests/support/process.h"
#include "tests/support/save_table_writer.h"
#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// ---- Running the launcher -----------------------------------------------------------------------

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string LINE_END = as_stream_text("\n");

#ifdef _WIN32
bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine loads its own built-in winmm.dll even when a program asks for another one by its full path,
// unless told otherwise, as a user who plays the patched game under Wine must tell it too. The
// setting is made for the launch copy's name only (WINEDLLOVERRIDES would have to be in the Unix
// environment before the test program started; a Windows program cannot pass it on).
void prefer_the_games_own_winmm() {
  if (!under_wine()) return;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\VANROGame.exe\\DllOverrides", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  const wchar_t order[] = L"native,builtin";
  RegSetValueExW(key, L"winmm", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
  RegCloseKey(key);
}
#else
void prefer_the_games_own_winmm() {}
#endif

// ---- Game directories -------------------------------------------------------------------------

const char STATUS_PREFIX[] =
    "{\"status\":\"ready_to_attempt\",\"launched\":false,\"hash_gate\":false,\"rendering_verified\":false,"
    "\"generated_copy_present\":";

std::string status_line(bool copy_present, bool runtime_present) {
  return std::string(STATUS_PREFIX) + (copy_present ? "true" : "false") +
         ",\"runtime_present\":" + (runtime_present ? "true" : "false") + "}" + LINE_END;
}

const char REBUILT[] =
    "已从本目录的 ZDH.EXE 重新生成缺失的内部启动副本，将继续启动。\n"
    "安装器的主动校验仍使用原安装记录；原版发生过变化时可能报告该项不同。";
const char RUNTIME_MISSING[] =
    "已创建游戏进程并继续尝试启动，但缺少 _vanro\\runtime\\winmm.dll。\n"
    "汉化组件未加载，中文正文、原文层和存档适配不可用，可能显示原版日文。\n"
    "请从本版本安装包恢复该文件；进程创建成功不表示游戏或汉化已正常运行。";
const char EXPLANATION[] =
    "目录中的约定文件名检查完成，尚未启动游戏或验证中文绘制。\n"
    "缺失的内部副本会在启动时尝试重建；资源异常由运行组件恢复或按功能降级。\n"
    "需要检查文件完整性时，请使用安装器的“校验补丁”。";
const char UNKNOWN_ARGUMENT[] = "未知参数。支持 --check、--quiet。";
const char NOT_A_GAME_DIR[] = "未启动游戏：目录缺少 ZDH.EXE 或 AdvData\\MES。请从完整游戏目录运行启动器。";
const char REPARSE[] = "Runtime paths may not traverse reparse points";

// The stand-in game padded with zero bytes past the largest offset of the byte-fix table, so that
// the fixes fall into the padding and the launch copy still runs.
std::string standin_zdh_exe() {
  std::string image = read_bytes(fs::path(VANRO_STANDIN_GAME_PATH));
  EXPECT_FALSE(image.empty());
  EXPECT_LT(image.size(), LAUNCH_FIX_TABLE.front().offset) << "the stand-in game must end before the first fix";
  image.resize(LAUNCH_FIX_TABLE.back().offset + 0x1000, '\0');
  return image;
}

std::string hook_ini(char key) {
  std::string text = std::string("[hud]\r\ntoggle_key=") + key + "\r\n";
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

struct GameDir {
  TempDir dir;
  // The game directory: the temporary folder itself unless a case names a folder inside it.
  std::u16string root = dir.path;
  std::u16string launcher;

  std::u16string file(std::u16string_view relative) const { return join_path(root, relative); }
  fs::path fs_file(std::u16string_view relative) const { return fs::path(file(relative)); }
  std::u16string launch_copy() const { return file(u"_vanro/runtime/VANROGame.exe"); }
};

// The launcher alone in a folder: the starting point of every case.
void place_launcher(GameDir& game) {
  fs::path built(VANRO_LAUNCHER_PATH);
  game.launcher = game.file(built.filename().u16string());
  fs::copy_file(built, fs::path(game.launcher));
}

// A complete game directory: ZDH.EXE (the padded stand-in), AdvData/MES, and the launcher.
void make_game(GameDir& game) {
  write_test_file(game.file(u"ZDH.EXE"), standin_zdh_exe());
  make_test_dir(game.file(u"AdvData/MES"));
  place_launcher(game);
}

// The in-game runtime and the two files it reads, as an install leaves them.
void add_runtime(GameDir& game, char key = 'X') {
  make_test_dir(game.file(u"_vanro/runtime"));
  fs::copy_file(fs::path(VANRO_STANDIN_RUNTIME_PATH), game.fs_file(u"_vanro/runtime/winmm.dll"));
  write_test_file(game.file(u"_vanro/hook.ini"), hook_ini(key));
  write_test_file(game.file(u"_vanro/save-offsets.bin"), save_table_header(511));
}

void add_launch_copy(GameDir& game, std::string_view bytes) {
  write_test_file(game.launch_copy(), bytes);
  fs::permissions(game.fs_file(u"_vanro/runtime/VANROGame.exe"), fs::perms::owner_exec, fs::perm_options::add);
}

RunResult run_launcher(const GameDir& game, const std::vector<std::u16string>& arguments,
                       const Environment& environment = {}) {
  prefer_the_games_own_winmm();
  return run_program(game.launcher, arguments, environment);
}

// ---- The stand-in game's record -----------------------------------------------------------------

using Record = std::map<std::string, std::string>;

// The game writes its record complete under its final name; a deadline, not a fixed sleep.
Record wait_for_record(const GameDir& game) {
  fs::path path = game.fs_file(u"standin-game.log");
  auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string text;
  // The last line tells that the record is whole.
  while ((text = read_bytes(path)).find("\nruntime=") == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the stand-in game wrote no whole record in the game directory within 30 s: " << text;
      return {};
    }
    std::this_thread::sleep_for(10ms);
  }
  Record record;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) record[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return record;
}

// The game may still be ending when its record appears; a running image cannot be deleted on
// Windows, so the temporary folder waits for it.
void wait_until_game_ended(const GameDir& game) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  std::error_code error;
  while (fs::exists(game.fs_file(u"_vanro/runtime/VANROGame.exe")) &&
         !fs::remove(game.fs_file(u"_vanro/runtime/VANROGame.exe"), error) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
}

std::string quoted_launch_copy(const GameDir& game) {
  return "\"" + wide_to_utf8(game.launch_copy()) + "\"";
}

// ---- Status report ------------------------------------------------------------------------------

TEST(LauncherCheck, StatusLineNamesWhatIsPresentAndQuietWritesNothingElse) {
  struct Case {
    const char* name;
    bool launch_copy;
    bool copy_as_folder;
    bool runtime;
    bool runtime_as_folder;
  };
  const Case cases[] = {
      {"only the launch copy", true, false, false, false},
      {"launch copy and runtime", true, false, true, false},
      {"neither", false, false, false, false},
      {"only the runtime", false, false, true, false},
      {"a folder named VANROGame.exe", false, true, true, false},
      {"a folder named winmm.dll", true, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GameDir game;
    make_game(game);
    if (c.launch_copy) add_launch_copy(game, "any bytes: the content is not looked at");
    if (c.copy_as_folder) make_test_dir(game.launch_copy());
    if (c.runtime) write_test_file(game.file(u"_vanro/runtime/winmm.dll"), "runtime");
    if (c.runtime_as_folder) make_test_dir(game.file(u"_vanro/runtime/winmm.dll"));
    for (const auto& arguments : {std::vector<std::u16string>{u"--check", u"--quiet"},
                                  std::vector<std::u16string>{u"--quiet", u"--check", u"--check"}}) {
      RunResult run = run_launcher(game, arguments);
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_EQ(run.out, status_line(c.launch_copy, c.runtime));
      EXPECT_EQ(run.err, "");
    }
    // Check mode neither repairs nor starts anything.
    EXPECT_EQ(fs::exists(game.fs_file(u"_vanro/runtime/VANROGame.exe")), c.launch_copy || c.copy_as_folder);
    EXPECT_FALSE(fs::exists(game.fs_file(u"standin-game.log")));
  }
}

TEST(LauncherCheck, WithoutQuietTheExplanationFollowsAsInformation) {
  if (!boxes_return_at_once()) GTEST_SKIP() << "a message box would wait for a user here";
  GameDir game;
  make_game(game);
  add_launch_copy(game, "copy");
  RunResult run = run_launcher(game, {u"--check"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, status_line(true, false));
  EXPECT_EQ(run.err, reported(EXPLANATION));
}

// ---- Refusals -----------------------------------------------------------------------------------

TEST(LauncherRefusal, UnknownArgumentsAreRefusedBeforeAnythingElse) {
  GameDir game;
  make_game(game);
  const std::vector<std::u16string> refused[] = {
      {u"--Check", u"--quiet"},
      {u"-check", u"--quiet"},
      {u"--quiet", u"--QUIET"},
      {u"--check", u"--quiet", u"extra"},
      // Before --quiet, the refusal still respects it: no box, the message on standard error only.
      {u"bogus", u"--quiet"},
      {game.dir.path, u"--quiet"},
  };
  for (const auto& arguments : refused) {
    RunResult run = run_launcher(game, arguments);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, reported(UNKNOWN_ARGUMENT));
  }
  // Nothing was repaired or started.
  EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro")));
  EXPECT_FALSE(fs::exists(game.fs_file(u"standin-game.log")));

  if (boxes_return_at_once()) {
    RunResult run = run_launcher(game, {u"--check", u"bogus"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, reported(UNKNOWN_ARGUMENT));
  }
}

TEST(LauncherRefusal, OutsideAGameDirectoryInBothModes) {
  struct Case {
    const char* name;
    bool zdh_exe;
    bool zdh_exe_as_folder;
    bool scripts;
    bool scripts_as_file;
  };
  const Case cases[] = {
      {"an empty folder", false, false, false, false},
      {"ZDH.EXE without AdvData/MES", true, false, false, false},
      {"AdvData/MES without ZDH.EXE", false, false, true, false},
      {"ZDH.EXE a folder", false, true, true, false},
      {"AdvData/MES a file", true, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GameDir game;
    place_launcher(game);
    if (c.zdh_exe) write_test_file(game.file(u"ZDH.EXE"), standin_zdh_exe());
    if (c.zdh_exe_as_folder) make_test_dir(game.file(u"ZDH.EXE"));
    if (c.scripts) make_test_dir(game.file(u"AdvData/MES"));
    if (c.scripts_as_file) write_test_file(game.file(u"AdvData/MES"), "not a folder");
    for (const auto& arguments :
         {std::vector<std::u16string>{u"--check", u"--quiet"}, std::vector<std::u16string>{u"--quiet"}}) {
      RunResult run = run_launcher(game, arguments);
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, reported(NOT_A_GAME_DIR));
    }
    EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro")));
  }
}

// A directory link, made where the platform can make one. Under Wine a Linux symbolic link to a
// directory is what shows as a reparse point, and a Windows program cannot make one: a ctest
// fixture prepares such a game directory beforehand (VANRO_LINKED_GAME_DIR, on the prefix's drive C:).
bool link_directory(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::create_directory_symlink(target, link, error);
  std::optional<uint32_t> attributes = platform::file_attributes(link.u16string());
  return !error && attributes && (*attributes & platform::ATTRIBUTE_REPARSE_POINT);
}

// The prepared folder is shared by every run: what a case put into it goes again, the link stays.
struct ClearPreparedGame {
  explicit ClearPreparedGame(const GameDir& prepared) : game(prepared) {}
  ClearPreparedGame(const ClearPreparedGame&) = delete;
  ClearPreparedGame& operator=(const ClearPreparedGame&) = delete;
  const GameDir& game;
  ~ClearPreparedGame() {
    wait_until_game_ended(game);
    std::error_code ignored;
    for (const char16_t* name : {u"ZDH.EXE", u"standin-game.log", u"AdvData"})
      fs::remove_all(game.fs_file(name), ignored);
    fs::remove(fs::path(game.launcher), ignored);
    fs::remove_all(game.fs_file(u"_vanro/runtime"), ignored);
  }
};

TEST(LauncherRefusal, LinkedVanroIsRefusedBeforeZdhExeIsReadUnlessTheLaunchCopyIsPresent) {
  TempDir elsewhere;
  GameDir game;
  std::optional<ClearPreparedGame> clear;
  if (!link_directory(fs::path(elsewhere.path), game.fs_file(u"_vanro"))) {
#ifdef VANRO_LINKED_GAME_DIR
    game.root = fs::path(VANRO_LINKED_GAME_DIR).make_preferred().u16string();
    clear.emplace(game);
#endif
    std::optional<uint32_t> attributes = platform::file_attributes(game.file(u"_vanro"));
    if (!clear || !attributes || !(*attributes & platform::ATTRIBUTE_REPARSE_POINT))
      GTEST_SKIP() << "no directory link can be made here (under Wine ctest's fixture makes one)";
  }
  // The refusal must come from _vanro alone, not from a link further up.
  ASSERT_FALSE(crosses_reparse_point(game.root));
  // Too short for the byte fixes: had it been read, the failure would be the index error.
  write_test_file(game.file(u"ZDH.EXE"), "MZ");
  make_test_dir(game.file(u"AdvData/MES"));
  place_launcher(game);

  RunResult run = run_launcher(game, {u"--quiet"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, reported(REPARSE));
  EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro/runtime")));
  // The status report only looks at names; it does not walk the links.
  RunResult check = run_launcher(game, {u"--check", u"--quiet"});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.out, status_line(false, false));

  // A launch copy that is present is started without the check.
  add_launch_copy(game, standin_zdh_exe());
  RunResult start = run_launcher(game, {u"--quiet"});
  EXPECT_EQ(start.exit_code, 0);
  EXPECT_EQ(start.err, reported(RUNTIME_MISSING));
  EXPECT_EQ(wait_for_record(game)["command_line"], quoted_launch_copy(game));
}

TEST(LauncherRefusal, AStartThatFailsNamesTheWindowsError) {
  GameDir game;
  make_game(game);
  add_runtime(game);
  add_launch_copy(game, "this is not a program");
  RunResult run = run_launcher(game, {u"--quiet"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  std::string prefix = as_stream_text("Windows 未能创建游戏进程。\nWindows 错误 ");
  ASSERT_EQ(run.err.substr(0, prefix.size()), prefix);
  std::size_t digits = prefix.size();
  while (digits < run.err.size() && run.err[digits] >= '0' && run.err[digits] <= '9') ++digits;
  EXPECT_GT(digits, prefix.size());
  EXPECT_NE(run.err[prefix.size()], '0');
  EXPECT_EQ(run.err.substr(digits, 3), "：");
  EXPECT_EQ(run.err.substr(run.err.size() - LINE_END.size()), LINE_END);
}

// A failure of the file system carries its own text, which names the path; the report of it works
// for any game folder name, and the launcher ends with 1 whatever the text holds.
TEST(LauncherRefusal, AFileSystemErrorIsReportedWithItsOwnText) {
  GameDir game;
  game.root = game.dir.file(u"莉拉 游戏");
  make_game(game);
  write_test_file(game.file(u"_vanro"), "a file where the folder belongs");
  RunResult run = run_launcher(game, {u"--quiet"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("create_directories"), std::string::npos) << run.err;
  ASSERT_GE(run.err.size(), LINE_END.size());
  EXPECT_EQ(run.err.substr(run.err.size() - LINE_END.size()), LINE_END);
  EXPECT_FALSE(fs::exists(game.fs_file(u"standin-game.log")));
}

// ---- Repair and start ---------------------------------------------------------------------------

TEST(LauncherStart, AMissingLaunchCopyIsRebuiltThenTheGameStartsInTheGameDirectory) {
  GameDir game;
  make_game(game);
  add_runtime(game, 'Q');
  // The game holds on until this file goes: the launcher must have ended before that.
  write_test_file(game.file(u"standin-game.hold"), "");

  RunResult run = run_launcher(game, {u"--quiet"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, reported(REBUILT));
  Record record = wait_for_record(game);
  EXPECT_TRUE(fs::exists(game.fs_file(u"standin-game.hold"))) << "the game ended before the launcher did";
  fs::remove(game.fs_file(u"standin-game.hold"));

  EXPECT_EQ(read_bytes(game.fs_file(u"_vanro/runtime/VANROGame.exe")), build_launch_copy(game.file(u"ZDH.EXE")));
  EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro/runtime/VANROGame.exe.vanro-new")));
  EXPECT_EQ(record["command_line"], quoted_launch_copy(game));
  EXPECT_EQ(record["current_directory"], wide_to_utf8(game.root));
  EXPECT_EQ(record["winmm_beside_image"], "yes");
  EXPECT_EQ(record["launch_fixes"], "yes");
  EXPECT_EQ(record["runtime"], "started");
  EXPECT_EQ(read_bytes(game.fs_file(u"_vanro/runtime.log")),
            as_stream_text("vanro-runtime: toggle_key=Q save-offsets=ZDHSV001 scripts=511\n"));
  wait_until_game_ended(game);
}

TEST(LauncherStart, AnExistingLaunchCopyIsStartedUnchangedWithoutAMessage) {
  GameDir game;
  make_game(game);
  add_runtime(game);
  // Not what ZDH.EXE would give: the launcher does not look.
  std::string stale = standin_zdh_exe();
  add_launch_copy(game, stale);
  RunResult run = run_launcher(game, {u"--quiet"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  Record record = wait_for_record(game);
  EXPECT_EQ(record["command_line"], quoted_launch_copy(game));
  EXPECT_EQ(record["launch_fixes"], "no");
  EXPECT_EQ(read_bytes(game.fs_file(u"_vanro/runtime/VANROGame.exe")), stale);
  wait_until_game_ended(game);
}

TEST(LauncherStart, AMissingRuntimeIsReportedAsInformationAfterTheStart) {
  GameDir game;
  make_game(game);
  RunResult run = run_launcher(game, {u"--quiet"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, reported(REBUILT) + reported(RUNTIME_MISSING));
  Record record = wait_for_record(game);
  EXPECT_EQ(record["winmm_beside_image"], "no");
  EXPECT_EQ(record["runtime"], "missing");
  EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro/runtime.log")));
  wait_until_game_ended(game);
}

TEST(LauncherStart, AFolderNamedLikeTheLaunchCopyFailsTheRebuildAndLeavesNoStagingFile) {
  GameDir game;
  make_game(game);
  make_test_dir(game.launch_copy());
  RunResult run = run_launcher(game, {u"--quiet"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, reported("Cannot create new file"));
  EXPECT_TRUE(fs::is_directory(game.fs_file(u"_vanro/runtime/VANROGame.exe")));
  EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro/runtime/VANROGame.exe.vanro-new")));
  EXPECT_FALSE(fs::exists(game.fs_file(u"standin-game.log")));
}

// A launcher ended abruptly at each change it makes leaves no launch copy under its final name,
// and the next launch rebuilds it whole, whatever staging file the first one left behind.
// A staging name that is a link (one that Wine shows as a plain file too) is never deleted: that
// would delete the file it points to, here a file of the player's outside the game folder.
TEST(LauncherRefusal, AStagingNameThatIsALinkIsRefusedAndWhatItPointsToStays) {
  TempDir elsewhere;
  GameDir game;
  make_game(game);
  write_test_file(elsewhere.file(u"mine.txt"), "the player's");
  make_test_dir(game.file(u"_vanro/runtime"));
  make_symbolic_link(elsewhere.file(u"mine.txt"), game.file(u"_vanro/runtime/VANROGame.exe.vanro-new"));
  RunResult run = run_launcher(game, {u"--quiet"});
  EXPECT_EQ(run.err, reported(REPARSE));
  EXPECT_EQ(read_bytes(fs::path(elsewhere.file(u"mine.txt"))), "the player's");
}

// In this process, as Wine starts no program from a folder that deep, and refusing paths as a
// default Windows does. The rebuild takes any length. The start cannot: Windows takes no current
// directory of MAX_PATH characters or more, and Wine starts no program from a path that long.
TEST(LauncherStart, AGameFolderPast260CharactersIsRebuilt) {
  GameDir game;
  game.root = join_path(game.root, std::u16string(120, u'd') + u"/" + std::u16string(120, u'e'));
  make_game(game);
  add_runtime(game);
  launcher::quiet_mode = true;
  platform::testing::set_windows_path_limits(true);
  EXPECT_EQ(message_of([&] { repair_launch_copy(game.root); }), "");
  std::string start = message_of([&] { start_launch_copy(game.root); });
  platform::testing::set_windows_path_limits(false);
  EXPECT_EQ(read_bytes(any_length(game.launch_copy())), build_launch_copy(game.file(u"ZDH.EXE")));
#ifdef _WIN32
  EXPECT_EQ(start.rfind("Windows 未能创建游戏进程。\nWindows 错误 206：", 0), 0u) << start;
#else
  EXPECT_EQ(start, "");
  wait_for_record(game);
  wait_until_game_ended(game);
#endif
}

TEST(LauncherStart, ALauncherKilledDuringTheRebuildNeverLeavesAFalseLaunchCopy) {
  for (int nth = 1;; ++nth) {
    SCOPED_TRACE("crash at mutating call " + std::to_string(nth));
    GameDir game;
    make_game(game);
    add_runtime(game);
    RunResult crashed = run_launcher(game, {u"--quiet"}, {{"VANRO_FAULT", "crash:" + std::to_string(nth)}});
    if (crashed.exit_code == 0) {
      // Past the last change: the launch went through.
      wait_for_record(game);
      wait_until_game_ended(game);
      EXPECT_GT(nth, 3);
      break;
    }
    ASSERT_EQ(crashed.exit_code, 86);
    EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro/runtime/VANROGame.exe")));

    RunResult next = run_launcher(game, {u"--quiet"});
    ASSERT_EQ(next.exit_code, 0) << next.err;
    EXPECT_EQ(next.err, reported(REBUILT));
    EXPECT_EQ(read_bytes(game.fs_file(u"_vanro/runtime/VANROGame.exe")), build_launch_copy(game.file(u"ZDH.EXE")));
    EXPECT_FALSE(fs::exists(game.fs_file(u"_vanro/runtime/VANROGame.exe.vanro-new")));
    EXPECT_EQ(wait_for_record(game)["launch_fixes"], "yes");
    wait_until_game_ended(game);
    ASSERT_LT(nth, 20);
  }
}

// ---- With the installer ---------------------------------------------------------------------------

// The whole road: the demo installed over the stand-in game, the launch copy deleted, the launcher
// rebuilds it byte for byte as the install recorded it (so the installer's verify passes) and
// starts it.
TEST(LauncherWithInstaller, ARebuiltLaunchCopyIsTheOneTheInstallRecorded) {
  const DemoPaths& demo = small_demo();
  GameDir game;
  game.root = game.dir.file(u"game");
  copy_tree(demo.game, game.root);
  // The user's own game: the package never carries it, so any ZDH.EXE long enough will do.
  fs::remove(game.fs_file(u"ZDH.EXE"));
  write_test_file(game.file(u"ZDH.EXE"), standin_zdh_exe());
  std::u16string installer = join_path(demo.package, u"VANROInstaller.exe");

  RunResult install = run_program(installer, {u"--install", u"--quiet", u"--hotkey", u"Q", game.root});
  ASSERT_EQ(install.exit_code, 0) << install.err;
  game.launcher = game.file(u"VANROLauncher.exe");
  std::string installed = read_bytes(game.fs_file(u"_vanro/runtime/VANROGame.exe"));
  EXPECT_EQ(installed, build_launch_copy(game.file(u"ZDH.EXE")));

  RunResult check = run_launcher(game, {u"--check", u"--quiet"});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.out, status_line(true, true));

  fs::remove(game.fs_file(u"_vanro/runtime/VANROGame.exe"));
  RunResult launch = run_launcher(game, {u"--quiet"});
  ASSERT_EQ(launch.exit_code, 0) << launch.err;
  EXPECT_EQ(launch.err, reported(REBUILT));
  Record record = wait_for_record(game);
  EXPECT_EQ(record["command_line"], quoted_launch_copy(game));
  EXPECT_EQ(record["current_directory"], wide_to_utf8(game.root));
  EXPECT_EQ(record["winmm_beside_image"], "yes");
  EXPECT_EQ(record["launch_fixes"], "yes");
  EXPECT_EQ(read_bytes(game.fs_file(u"_vanro/runtime/VANROGame.exe")), installed);

  RunResult verify = run_program(installer, {u"--verify", u"--quiet", game.root});
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
  EXPECT_EQ(verify.out, as_stream_text("OK\n"));
  wait_until_game_ended(game);
}

}  // namespace
