#include "installer/game_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/patch_error.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"
#include "tests/support/message.h"
#include "tests/support/sleeper.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using sleeper::listed;
using sleeper::Sleeper;

const std::string NOT_GAME = "所选目录不是 Lirra 游戏目录。";
const std::string REPARSE = "目录含符号链接或重解析点，操作已停止。";
const std::string RUNNING = "游戏目录中的程序仍在运行，请先退出游戏。";

void make_game(const std::u16string& dir) {
  write_test_file(dir + u"/ZDH.EXE", "MZ game");
  make_test_dir(dir + u"/AdvData/MES");
}

TEST(GameDir, AcceptsZdhExeAndScriptsFolder) {
  TempDir temp;
  make_game(temp.path);
  EXPECT_EQ(message_of([&] { check_game_dir(temp.path); }), "");
  // An empty scripts folder is enough here; the scripts are examined by the save compatibility check.
  EXPECT_TRUE(fs::is_empty(fs::path(temp.file(u"AdvData/MES"))));
  // A trailing separator names the same directory.
  EXPECT_EQ(message_of([&] { check_game_dir(temp.path + u"/"); }), "");
}

TEST(GameDir, RefusesWhatIsNotAGameDirectory) {
  struct Case {
    const char* what;
    std::function<void(const std::u16string&)> arrange;
  };
  const Case cases[] = {
      {"no ZDH.EXE", [](const std::u16string& d) { make_test_dir(d + u"/AdvData/MES"); }},
      {"ZDH.EXE is a folder",
       [](const std::u16string& d) {
         make_test_dir(d + u"/ZDH.EXE");
         make_test_dir(d + u"/AdvData/MES");
       }},
      {"no AdvData/MES",
       [](const std::u16string& d) {
         write_test_file(d + u"/ZDH.EXE", "MZ");
         make_test_dir(d + u"/AdvData");
       }},
      {"AdvData/MES is a file",
       [](const std::u16string& d) {
         write_test_file(d + u"/ZDH.EXE", "MZ");
         write_test_file(d + u"/AdvData/MES", "x");
       }},
      {"missing directory", [](const std::u16string& d) { fs::remove(fs::path(d)); }},
  };
  for (const Case& c : cases) {
    TempDir temp;
    c.arrange(temp.path);
    EXPECT_EQ(message_of([&] { check_game_dir(temp.path); }), NOT_GAME) << c.what;
  }
}

#ifndef _WIN32
// Links made on the Linux side; under Wine a link to a file shows as a plain file and no link can
// be made from inside the program, so these run natively.
TEST(GameDir, RefusesLinksOnTheWayButFollowsALinkedScriptsFolder) {
  TempDir temp;
  make_game(temp.file(u"real"));
  fs::create_directory_symlink(fs::path(temp.file(u"real")), fs::path(temp.file(u"linked")));
  EXPECT_EQ(message_of([&] { check_game_dir(temp.file(u"linked")); }), REPARSE);
  // Below a link, too, and before ZDH.EXE is looked at.
  make_test_dir(temp.file(u"real/sub"));
  EXPECT_EQ(message_of([&] { check_game_dir(temp.file(u"linked/sub")); }), REPARSE);

  TempDir file_link;
  make_game(file_link.file(u"game"));
  fs::rename(fs::path(file_link.file(u"game/ZDH.EXE")), fs::path(file_link.file(u"ZDH.real")));
  fs::create_symlink(fs::path(file_link.file(u"ZDH.real")), fs::path(file_link.file(u"game/ZDH.EXE")));
  EXPECT_EQ(message_of([&] { check_game_dir(file_link.file(u"game")); }), NOT_GAME);

  TempDir scripts_link;
  write_test_file(scripts_link.file(u"game/ZDH.EXE"), "MZ");
  make_test_dir(scripts_link.file(u"game/AdvData"));
  make_test_dir(scripts_link.file(u"scripts"));
  fs::create_directory_symlink(fs::path(scripts_link.file(u"scripts")), fs::path(scripts_link.file(u"game/AdvData/MES")));
  EXPECT_EQ(message_of([&] { check_game_dir(scripts_link.file(u"game")); }), "");
}
#endif

// The stand-in game process of the Windows build (tests/support/sleeper.h).
TEST(GameDirSleeper, WaitsWhenAsked) {
  if (std::getenv("VANRO_TEST_SLEEP") == nullptr) GTEST_SKIP() << "runs only as the stand-in game process";
  std::this_thread::sleep_for(std::chrono::seconds(60));
}

// Another name of the same folder: its short name on Windows (Wine makes one as Windows does), a
// link to it on Linux.
std::u16string another_name_of(const std::u16string& folder, [[maybe_unused]] const TempDir& temp) {
#ifdef _WIN32
  std::wstring buffer(32768, L'\0');
  DWORD length = GetShortPathNameW(reinterpret_cast<const wchar_t*>(folder.c_str()), buffer.data(), 32768);
  return std::u16string(buffer.begin(), buffer.begin() + length);
#else
  fs::create_directory_symlink(fs::path(folder), fs::path(temp.file(u"another name")));
  return temp.file(u"another name");
#endif
}

TEST(GameNotRunning, RefusesWhileTheGameOrItsLaunchCopyRuns) {
  for (const char16_t* relative : {u"ZDH.EXE", u"_vanro/runtime/VANROGame.exe"}) {
    TempDir temp;
    const std::u16string game = temp.file(u"Lirra game folder");
    make_game(game);
    make_test_dir(game + u"/_vanro/runtime");
    if (std::u16string(relative) == u"ZDH.EXE") fs::remove(fs::path(game + u"/ZDH.EXE"));
    const std::u16string image = game + u"/" + relative;
    Sleeper sleeper(image);
    ASSERT_TRUE(listed(image));
    EXPECT_EQ(message_of([&] { check_game_not_running(game); }), RUNNING);
    // Other forms of the same path: a trailing separator, a "." element, ASCII case.
    for (const char16_t* form : {u"Lirra game folder/", u"./Lirra game folder", u"LIRRA GAME FOLDER"})
      EXPECT_EQ(message_of([&] { check_game_not_running(temp.file(form)); }), RUNNING);
    // The same folder by another name: the process runs the same file.
    const std::u16string other = another_name_of(game, temp);
    ASSERT_FALSE(other.empty() || same_path(other, game));
    EXPECT_EQ(message_of([&] { check_game_not_running(other); }), RUNNING) << wide_to_utf8(other);
  }
}

TEST(GameNotRunning, IgnoresAnotherDirectorysGameAndOtherPrograms) {
  TempDir temp;
  make_game(temp.file(u"game"));
  make_test_dir(temp.file(u"other"));
  Sleeper other_game(temp.file(u"other/ZDH.EXE"));
  Sleeper launcher(temp.file(u"game/VANROLauncher.exe"));
  ASSERT_TRUE(listed(temp.file(u"other/ZDH.EXE")));
  ASSERT_TRUE(listed(temp.file(u"game/VANROLauncher.exe")));
  EXPECT_EQ(message_of([&] { check_game_not_running(temp.file(u"game")); }), "");
}

}  // namespace
