// The launch copy repair in process, where the platform layer's fault hook can make each change
// fail in turn; and the text of a Windows error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/launch_copy.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/text.h"
#include "launcher/launcher.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string read_bytes(const std::u16string& path) {
  std::ifstream in{fs::path(path), std::ios::binary};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A ZDH.EXE just long enough for every byte fix.
std::string zdh_exe_bytes() {
  std::string bytes(LAUNCH_FIX_TABLE.back().offset + 1, '\0');
  for (std::size_t i = 0; i < bytes.size(); i += 4096) bytes[i] = static_cast<char>(i / 4096);
  return bytes;
}

struct Game {
  TempDir dir;
  Game() { write_test_file(file(u"ZDH.EXE"), zdh_exe_bytes()); }
  std::u16string file(std::u16string_view relative) const { return join_path(dir.path, relative); }
  std::u16string target() const { return file(u"_vanro/runtime/VANROGame.exe"); }
  std::u16string staging() const { return target() + u".vanro-new"; }
};

// Runs the repair; the failure's message, or nullopt when it succeeded.
std::optional<std::string> repair(const Game& game) {
  launcher::quiet_mode = true;
  try {
    repair_launch_copy(game.dir.path);
    return std::nullopt;
  } catch (const std::exception& failure) {
    return std::string(failure.what());
  }
}

TEST(LauncherRepair, AFailureAtAnyChangeLeavesNeitherALaunchCopyNorAStagingFile) {
  for (uint64_t nth = 1;; ++nth) {
    SCOPED_TRACE("failing mutating call " + std::to_string(nth));
    Game game;
    platform::testing::set_fault(platform::testing::FaultMode::fail, nth);
    std::optional<std::string> failure = repair(game);
    platform::testing::set_fault(platform::testing::FaultMode::none, 0);
    if (!failure) {
      // Past the last change: the rebuild went through, and it took several changes to get there.
      EXPECT_GT(nth, 4u);
      EXPECT_EQ(read_bytes(game.target()), build_launch_copy(game.file(u"ZDH.EXE")));
      EXPECT_FALSE(fs::exists(fs::path(game.staging())));
      break;
    }
    EXPECT_FALSE(fs::exists(fs::path(game.target())));
    EXPECT_FALSE(fs::exists(fs::path(game.staging())));
    bool known = *failure == "Cannot create new file" || *failure == "Incomplete file write" ||
                 failure->find("create_directories") != std::string::npos;
    EXPECT_TRUE(known) << *failure;
    // What the failure left (folders at most) does not stand in the way of the next launch.
    EXPECT_EQ(repair(game), std::nullopt);
    EXPECT_EQ(read_bytes(game.target()), build_launch_copy(game.file(u"ZDH.EXE")));
    ASSERT_LT(nth, 30u);
  }
}

TEST(LauncherRepair, AStagingFileLeftByAKilledLauncherIsReplacedButAFolderOfThatNameIsNot) {
  Game stale_file;
  write_test_file(stale_file.staging(), "half of a launch copy");
  EXPECT_EQ(repair(stale_file), std::nullopt);
  EXPECT_EQ(read_bytes(stale_file.target()), build_launch_copy(stale_file.file(u"ZDH.EXE")));
  EXPECT_FALSE(fs::exists(fs::path(stale_file.staging())));

  Game staging_folder;
  make_test_dir(staging_folder.staging());
  EXPECT_EQ(repair(staging_folder), "Cannot create new file");
  EXPECT_TRUE(fs::is_directory(fs::path(staging_folder.staging())));
  EXPECT_FALSE(fs::exists(fs::path(staging_folder.target())));
}

TEST(LauncherRepair, APresentCopyIsLeftAloneAndAFailedBuildCreatesNothing) {
  Game present;
  write_test_file(present.target(), "whatever the user has");
  EXPECT_EQ(repair(present), std::nullopt);
  EXPECT_EQ(read_bytes(present.target()), "whatever the user has");

  Game missing;
  fs::remove(fs::path(missing.file(u"ZDH.EXE")));
  EXPECT_EQ(repair(missing), "Cannot open input file");
  EXPECT_FALSE(fs::exists(fs::path(missing.file(u"_vanro"))));

  Game too_short;
  write_test_file(too_short.file(u"ZDH.EXE"), std::string(LAUNCH_FIX_TABLE.back().offset, '\0'));
  EXPECT_NE(repair(too_short), std::nullopt);
  EXPECT_FALSE(fs::exists(fs::path(too_short.file(u"_vanro"))));
}

TEST(LauncherRepair, APresentCopyBehindALinkIsStartedWithoutTheLinkCheck) {
  TempDir elsewhere;
  write_test_file(join_path(elsewhere.path, u"runtime/VANROGame.exe"), "copy");
  Game game;
  std::error_code error;
  fs::create_directory_symlink(fs::path(elsewhere.path), fs::path(game.file(u"_vanro")), error);
  std::optional<uint32_t> attributes = platform::file_attributes(game.file(u"_vanro"));
  if (error || !attributes || !(*attributes & platform::ATTRIBUTE_REPARSE_POINT))
    GTEST_SKIP() << "no directory link can be made here (the process test covers Wine)";
  EXPECT_EQ(repair(game), std::nullopt);
  fs::remove(fs::path(join_path(elsewhere.path, u"runtime/VANROGame.exe")));
  EXPECT_EQ(repair(game), "Runtime paths may not traverse reparse points");
  EXPECT_FALSE(fs::exists(fs::path(join_path(elsewhere.path, u"runtime/VANROGame.exe"))));
}

TEST(LauncherWindowsError, CodeInDecimalThenTheSystemTextOrItsStandIn) {
  EXPECT_EQ(windows_error_text(3735928559u), u"Windows 错误 3735928559：系统未提供说明");
  std::u16string known = windows_error_text(2);
  std::u16string prefix = u"Windows 错误 2：";
  ASSERT_GT(known.size(), prefix.size());
  EXPECT_EQ(known.substr(0, prefix.size()), prefix);
  EXPECT_EQ(known.find(u"系统未提供说明"), std::u16string::npos);
}

}  // namespace
