// Games and packages on file systems of their own, as Linux and Steam Deck players have them under
// Wine (a separate /home, an SD card, a second disk), which marks every mount point as a reparse
// point: the file systems are mounted on the Linux side by ctest's fixture (tests/make_test_mounts.cmake).
#include <gtest/gtest.h>

#include <filesystem>

#include "common/launch_copy.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "installer/install_state.h"
#include "tests/support/install_scene.h"

namespace {

using namespace install_scene;

const std::string OK = as_stream_text("OK\n");

std::u16string mounted(const char16_t* name) { return build_path(VANRO_TEST_MOUNTS_DIR) + u"\\" + name; }

// Wine's mark on the folder tells that the fixture could mount it (it needs root).
bool is_mounted(const std::u16string& folder) {
  std::optional<uint32_t> attributes = platform::file_attributes(folder);
  return attributes && (*attributes & platform::ATTRIBUTE_REPARSE_POINT);
}

TEST(OtherFileSystems, AGameAndAPackageOnAFileSystemOfTheirOwnWorkAsAnywhere) {
  if (!is_mounted(mounted(u"disk"))) GTEST_SKIP() << "no file system is mounted for the tests (not root?)";
  Scene scene(fs::path(mounted(u"disk")));
  for (const char16_t* operation : {u"--install", u"--verify"}) {
    RunResult result = scene.run_installer({operation, u"--quiet", scene.game});
    EXPECT_EQ(result.exit_code, 0) << wide_to_utf8(operation) << ": " << result.err;
  }
  // The launcher rebuilds a missing launch copy there (the demo's ZDH.EXE is no program to start).
  const std::u16string copy = scene.in_game(utf8_to_wide(LAUNCH_COPY_PATH));
  fs::remove(fs::path(copy));
  RunResult launch = run_program(scene.in_game(u"VANROLauncher.exe"), {u"--quiet"});
  EXPECT_EQ(launch.err.find("Runtime paths"), std::string::npos) << launch.err;
  EXPECT_EQ(read_bytes(copy), build_launch_copy(scene.in_game(u"ZDH.EXE")));
  RunResult uninstall = scene.run_installer({u"--uninstall", u"--quiet", scene.game});
  EXPECT_EQ(uninstall.out, OK) << uninstall.err;
  EXPECT_EQ(scene.game_changes().find("gone:"), std::string::npos);
  EXPECT_FALSE(path_exists(scene.in_game(u"_vanro")));
}

// A Unix link to a folder on that file system leads elsewhere and is refused, naming the link.
TEST(OtherFileSystems, ALinkToAFolderThereIsStillRefused) {
  if (!is_mounted(mounted(u"disk"))) GTEST_SKIP() << "no file system is mounted for the tests (not root?)";
  Scene scene(fs::path(mounted(u"disk")));
  const std::u16string link = scene.temp.path + u"\\linked";
  make_symbolic_link(scene.temp.path, link);
  RunResult result = scene.run_installer({u"--install", u"--quiet", link + u"\\game"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, reported("目录含符号链接或重解析点，操作已停止。\n文件：" + wide_to_utf8(link)));
  EXPECT_EQ(scene.game_changes(), "");
}

// Read-only media: the install is refused at its first change, which names what it could not create.
TEST(OtherFileSystems, AGameFolderThatCannotBeWrittenIsRefusedBeforeAnyChange) {
  const std::u16string game = mounted(u"readonly") + u"\\game";
  if (!is_mounted(mounted(u"readonly"))) GTEST_SKIP() << "no file system is mounted for the tests (not root?)";
  const Snapshot before = snapshot(game);
  RunResult result = run_program(small_demo().package + u"\\VANROInstaller.exe", {u"--install", u"--quiet", game});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("create_directory"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(as_stream_text("\n文件：VANRO_backup_")), std::string::npos) << result.err;
  EXPECT_EQ(differences(before, snapshot(game)), "");
}

}  // namespace
