#include <gtest/gtest.h>

#include <filesystem>

#include "common/launch_copy.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/install_scene.h"
#include "tests/support/sleeper.h"

namespace {

using namespace install_scene;

const std::string MISSING = "补丁文件缺失。";
const std::string LAUNCH_COPY_BAD = "启动副本的补丁完整性校验失败。";
const std::string HASH_BAD = "已安装补丁文件哈希不符。";

struct Installed : Scene {
  Installed() { install_patch(game); }
};

void change_byte(const std::u16string& path, std::size_t at) {
  std::string bytes = read_bytes(path);
  bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  write_test_file(path, bytes);
}

TEST(Verify, PassesAndReadsOnly) {
  Installed scene;
  Snapshot installed = snapshot(scene.game);
  reported_file = u"left over";
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
  EXPECT_TRUE(reported_file.empty());
  EXPECT_EQ(differences(installed, snapshot(scene.game)), "");
}

TEST(Verify, WithoutAnInstallStateNothingIsExamined) {
  Scene scene;
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "Cannot open input file");
}

TEST(Verify, ReportsTheFirstDamageInRecordOrder) {
  struct Case {
    const char* what;
    std::function<void(const Scene&)> damage;
    std::string message;
    std::u16string reported;
  };
  const Case cases[] = {
      {"hook.ini changed", [](const Scene& s) { change_byte(s.in_game(u"_vanro/hook.ini"), 10); }, "", u""},
      {"hook.ini missing", [](const Scene& s) { fs::remove(fs::path(s.in_game(u"_vanro/hook.ini"))); }, MISSING,
       u"_vanro/hook.ini"},
      {"launch copy rebuilt from the same ZDH.EXE",
       [](const Scene& s) {
         fs::remove(fs::path(s.in_game(u"_vanro/runtime/VANROGame.exe")));
         write_new_file(s.in_game(u"_vanro/runtime/VANROGame.exe"), build_launch_copy(s.in_game(u"ZDH.EXE")));
       },
       "", u""},
      {"launch copy replaced by ZDH.EXE",
       [](const Scene& s) {
         fs::remove(fs::path(s.in_game(u"_vanro/runtime/VANROGame.exe")));
         fs::copy_file(fs::path(s.in_game(u"ZDH.EXE")), fs::path(s.in_game(u"_vanro/runtime/VANROGame.exe")));
       },
       LAUNCH_COPY_BAD, u"_vanro/runtime/VANROGame.exe"},
      {"one byte of the runtime", [](const Scene& s) { change_byte(s.in_game(u"_vanro/runtime/winmm.dll"), 100); },
       HASH_BAD, u"_vanro/runtime/winmm.dll"},
      {"two files damaged: the first in state order is named",
       [](const Scene& s) {
         change_byte(s.in_game(u"_vanro/save-offsets.bin"), 100);
         change_byte(s.in_game(u"VANROLauncher.exe"), 100);
       },
       HASH_BAD, u"VANROLauncher.exe"},
      {"an installed file that became a folder",
       [](const Scene& s) {
         fs::remove(fs::path(s.in_game(u"_vanro/FONT-LICENSE.txt")));
         make_test_dir(s.in_game(u"_vanro/FONT-LICENSE.txt"));
       },
       MISSING, u"_vanro/FONT-LICENSE.txt"},
      {"the signed list changed",
       [](const Scene& s) { change_byte(s.in_game(u"_vanro/core-files.tsv"), 40); },
       "补丁核心签名无效，请重新获取完整补丁。", u"补丁组件签名"},
  };
  for (const Case& c : cases) {
    Installed scene;
    c.damage(scene);
    EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), c.message) << c.what;
    EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(c.reported)) << c.what;
  }
}

TEST(Verify, ATranslatedScriptReplacedWithItsRecordedDigestFailsTheSignature) {
  Installed scene;
  InstallState state = read_install_state(scene.game);
  std::string replaced = "a script of the user's own";
  for (ManifestRecord& record : state.entries)
    if (record.path.rfind("_vanro/patch/AdvData/MES/", 0) == 0) {
      write_test_file(scene.in_game(utf8_to_wide(record.path)), replaced);
      record.sha256 = sha256_hex(replaced);
      break;
    }
  fs::remove(fs::path(scene.in_game(INSTALL_STATE_NAME)));
  write_test_file(scene.in_game(INSTALL_STATE_NAME),
                  format_install_state(fs::path(state.record_dir).filename().u16string(), state.entries));
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "补丁清单与组件签名不匹配，请使用完整的原始补丁。");
}

TEST(Verify, TheGameScriptsMustStillFitTheTable) {
  Installed scene;
  fs::remove(fs::path(scene.in_game(u"AdvData/MES/title.MES")));
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "游戏目录缺少存档兼容表要求的原版剧本文件。");
}

// The game runs from the directory (its ZDH.EXE is a waiting program here): verify still runs and
// passes, while install and uninstall refuse.
TEST(Verify, RunsWhileTheGameRuns) {
  Scene scene;
  const std::u16string zdh = scene.in_game(u"ZDH.EXE");
  const uint64_t size = fs::file_size(fs::path(zdh));
  fs::remove(fs::path(zdh));
  sleeper::place_program(zdh, size);
  install_patch(scene.game);
  sleeper::Sleeper game(zdh);
  ASSERT_TRUE(sleeper::listed(zdh));
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
  const std::string running = "游戏目录中的程序仍在运行，请先退出游戏。";
  EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), running);
  EXPECT_TRUE(fs::exists(fs::path(scene.in_game(u"_vanro/runtime/winmm.dll"))));
}

}  // namespace
