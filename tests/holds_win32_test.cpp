// Other programs that hold our files for a moment, as scanners and indexers do on players' machines:
// the scanner stand-in (tests/file_holder.cpp) opens a file the programs write, rename or delete and
// holds it for 1.5 s, shared for reading only (a scanner) or for everything (an indexer), while the
// real installer and launcher run. They wait it out; a hold past their bound ends with the message of
// the failing step, the file named, nothing lost, and a state that a rerun completes.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/launch_copy.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/file_holder.h"
#include "tests/support/install_scene.h"

namespace {

using namespace install_scene;
using file_holder::Holder;
using file_holder::Sharing;

constexpr unsigned MOMENT = 1500, PAST_THE_BOUND = 8000;
const std::string OK = as_stream_text("OK\n");
const std::string REBUILT =
    "已从本目录的 ZDH.EXE 重新生成缺失的内部启动副本，将继续启动。\n"
    "安装器的主动校验仍使用原安装记录；原版发生过变化时可能报告该项不同。";

enum class Step { install, uninstall, launch };

struct Case {
  Step step;
  const char16_t* held;  // relative to the game folder
};

// An installed scene for the steps after the install: the runtime has written its log, and for a
// launch the launch copy is missing and a killed launcher left its staging file.
void prepare(const Scene& scene, Step step) {
  if (step == Step::install) return;
  install_patch(scene.game);
  write_test_file(scene.in_game(u"_vanro/runtime.log"), "the runtime's log");
  if (step != Step::launch) return;
  fs::remove(fs::path(scene.in_game(u"_vanro/runtime/VANROGame.exe")));
  write_test_file(scene.in_game(u"_vanro/runtime/VANROGame.exe.vanro-new"), "cut short");
}

RunResult run(const Scene& scene, Step step) {
  if (step == Step::install) return scene.run_installer({u"--install", u"--quiet", u"--hotkey", u"Q", scene.game});
  if (step == Step::uninstall) return scene.run_installer({u"--uninstall", u"--quiet", scene.game});
  return run_program(scene.in_game(u"VANROLauncher.exe"), {u"--quiet"});
}

std::u16string held_path(const Scene& scene, const char16_t* relative) {
  std::u16string path = scene.in_game(relative);
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

void survives_a_moment(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    for (Sharing sharing : {Sharing::read, Sharing::all}) {
      SCOPED_TRACE(wide_to_utf8(c.held) + (sharing == Sharing::all ? ", shared for everything" : ", shared for reading"));
      Scene scene;
      prepare(scene, c.step);
      Holder holder(held_path(scene, c.held), sharing, MOMENT, scene.temp.file(u"held"));
      if (path_exists(scene.in_game(c.held))) holder.wait_until_holding();
      RunResult result = run(scene, c.step);
      EXPECT_EQ(holder.wait(), 0u) << "the file was never held";
      if (c.step == Step::launch) {
        // The demo's ZDH.EXE is no program: the start fails once the copy is rebuilt.
        EXPECT_EQ(result.err.rfind(reported(REBUILT), 0), 0u) << result.err;
        EXPECT_EQ(read_bytes(scene.in_game(utf8_to_wide(LAUNCH_COPY_PATH))), build_launch_copy(scene.in_game(u"ZDH.EXE")));
      } else {
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out, OK);
      }
    }
  }
}

TEST(Holds, TheInstallWaitsOutAHeldNewLibraryAndAHeldHotkeyFile) {
  survives_a_moment({{Step::install, u"_vanro/runtime/winmm.dll.vanro-new"}, {Step::install, u"_vanro/hook.ini"}});
}

TEST(Holds, TheUninstallWaitsOutEveryKindOfFileItDeletesOrRenames) {
  survives_a_moment({{Step::uninstall, u"_vanro/runtime/winmm.dll"},
                     {Step::uninstall, INSTALL_STATE_NAME},
                     {Step::uninstall, u"_vanro/runtime.log"}});
}

TEST(Holds, TheLaunchersRebuildWaitsOutAHeldStagingFile) {
  survives_a_moment({{Step::launch, u"_vanro/runtime/VANROGame.exe.vanro-new"}});
}

// A scanner that keeps the new library past the bound: the rename gives up, the rollback waits for
// the staging file and completes, and a new install succeeds once the scanner is done.
TEST(Holds, AnInstallHeldPastTheBoundIsRolledBackAndCanBeRunAgain) {
  Scene scene;
  Holder holder(held_path(scene, u"_vanro/runtime/winmm.dll.vanro-new"), Sharing::read, PAST_THE_BOUND,
                scene.temp.file(u"held"));
  RunResult result = run(scene, Step::install);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, reported(rolled_back("无法创建补丁文件；目标可能已存在或正被使用。") +
                                 "\n文件：_vanro/runtime/winmm.dll"));
  EXPECT_EQ(holder.wait(), 0u);
  std::string changes = scene.game_changes();
  EXPECT_EQ(changes.find("gone:"), std::string::npos) << changes;
  EXPECT_EQ(run(scene, Step::install).exit_code, 0);
}

// An indexer that keeps a deleted library open past the bound: its name stays, so its folder does;
// the uninstall stops with the state kept, and a rerun completes once the indexer is done.
TEST(Holds, AnUninstallWhoseFolderStaysPastTheBoundKeepsTheStateForARerun) {
  Scene scene;
  prepare(scene, Step::uninstall);
  Holder holder(held_path(scene, u"_vanro/runtime/winmm.dll"), Sharing::all, PAST_THE_BOUND, scene.temp.file(u"held"));
  holder.wait_until_holding();
  RunResult result = run(scene, Step::uninstall);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, reported("无法移除补丁新增目录。\n文件：_vanro/runtime"));
  EXPECT_TRUE(path_exists(scene.in_game(INSTALL_STATE_NAME)));
  EXPECT_EQ(holder.wait(), 0u);
  RunResult rerun = run(scene, Step::uninstall);
  EXPECT_EQ(rerun.exit_code, 0) << rerun.err;
  EXPECT_FALSE(path_exists(scene.in_game(u"_vanro")));
}

}  // namespace
