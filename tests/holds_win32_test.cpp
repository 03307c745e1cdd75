// Other programs that hold our files for a moment, as scanners and indexers do on players' machines:
// the scanner stand-in (tests/file_holder.cpp) opens a file the programs write, rename or delete and
// holds it for 1.5 s, shared for reading only (a scanner) or for everything (an indexer), while the
// real installer and launcher run. They wait it out; a hold past their bound ends with the message of
// the failing step, the file named, nothing lost, and a state that a rerun completes.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/launch_copy.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/install_scene.h"

namespace {

using namespace install_scene;

constexpr unsigned MOMENT = 1500, PAST_THE_BOUND = 8000;
const std::string OK = as_stream_text("OK\n");

enum class Step { install, uninstall, launch };

// The stand-in, started on a file of the game folder (`*` may stand for the record folder's name).
struct Holder {
  PROCESS_INFORMATION process{};
  std::wstring mark;
  Holder(const Scene& scene, const char16_t* relative, bool share_all, unsigned milliseconds) {
    std::u16string path = scene.in_game(relative), marked = scene.temp.file(u"held");
    std::replace(path.begin(), path.end(), u'/', u'\\');
    mark.assign(marked.begin(), marked.end());
    std::wstring program = fs::path(VANRO_FILE_HOLDER_PATH).wstring();
    std::wstring command = L"\"" + program + L"\" \"" + std::wstring(path.begin(), path.end()) + L"\" " +
                           (share_all ? L"all " : L"read ") + std::to_wstring(milliseconds) + L" \"" + mark + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // No console: Wine's conhost.exe would inherit the test's output pipe and outlive the holder.
    EXPECT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                               nullptr, &startup, &process));
    // A file that is there already is held before the step starts.
    if (path_exists(scene.in_game(relative)))
      for (int attempt = 0; attempt < 3000 && GetFileAttributesW(mark.c_str()) == INVALID_FILE_ATTRIBUTES; ++attempt)
        Sleep(10);
  }
  // Waits until the holder has let go: true when it held its file.
  bool held() {
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, 90000);
    GetExitCodeProcess(process.hProcess, &code);
    return code == 0;
  }
  ~Holder() {
    TerminateProcess(process.hProcess, 0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
};

// For the steps after an install: the runtime has written its log; for a launch the launch copy is
// missing and a killed launcher left its staging file.
void prepare(const Scene& scene, Step step) {
  if (step == Step::install) return;
  install_patch(scene.game);
  write_test_file(scene.in_game(u"_vanro/runtime.log"), "the runtime's log");
  if (step != Step::launch) return;
  fs::remove(fs::path(scene.in_game(utf8_to_wide(LAUNCH_COPY_PATH))));
  write_test_file(scene.in_game(u"_vanro/runtime/VANROGame.exe.vanro-new"), "cut short");
}

RunResult run(const Scene& scene, Step step) {
  if (step == Step::install) return scene.run_installer({u"--install", u"--quiet", u"--hotkey", u"Q", scene.game});
  if (step == Step::uninstall) return scene.run_installer({u"--uninstall", u"--quiet", scene.game});
  return run_program(scene.in_game(u"VANROLauncher.exe"), {u"--quiet"});
}

void survives_a_moment(Step step, std::initializer_list<const char16_t*> held_files) {
  for (const char16_t* held : held_files) {
    for (bool share_all : {false, true}) {
      SCOPED_TRACE(wide_to_utf8(held) + (share_all ? ", shared for everything" : ", shared for reading"));
      Scene scene;
      prepare(scene, step);
      Holder holder(scene, held, share_all, MOMENT);
      RunResult result = run(scene, step);
      EXPECT_TRUE(holder.held());
      // The demo's ZDH.EXE is no program: the launcher's start fails once the copy is rebuilt.
      if (step == Step::launch)
        EXPECT_EQ(read_bytes(scene.in_game(utf8_to_wide(LAUNCH_COPY_PATH))), build_launch_copy(scene.in_game(u"ZDH.EXE")))
            << result.err;
      else
        EXPECT_EQ(result.out, OK) << result.err;
    }
  }
}

TEST(Holds, TheInstallWaitsOutAHeldNewLibraryAndAHeldHotkeyFile) {
  survives_a_moment(Step::install, {u"_vanro/runtime/winmm.dll.vanro-new", u"_vanro/hook.ini"});
}

TEST(Holds, TheUninstallWaitsOutEveryKindOfFileItDeletesOrRenames) {
  survives_a_moment(Step::uninstall, {u"_vanro/runtime/winmm.dll", INSTALL_STATE_NAME, u"_vanro/runtime.log"});
}

TEST(Holds, TheLaunchersRebuildWaitsOutAHeldStagingFile) {
  survives_a_moment(Step::launch, {u"_vanro/runtime/VANROGame.exe.vanro-new"});
}

// A scanner that keeps the new library past the bound: the rename gives up, the rollback waits for
// the staging file and completes, and a new install succeeds once the scanner is done.
TEST(Holds, AnInstallHeldPastTheBoundIsRolledBackAndCanBeRunAgain) {
  Scene scene;
  Holder holder(scene, u"_vanro/runtime/winmm.dll.vanro-new", false, PAST_THE_BOUND);
  EXPECT_EQ(run(scene, Step::install).err, reported(rolled_back("无法创建补丁文件；目标可能已存在或正被使用。") +
                                                    "\n文件：_vanro/runtime/winmm.dll"));
  EXPECT_TRUE(holder.held());
  EXPECT_EQ(scene.game_changes().find("gone:"), std::string::npos);
  EXPECT_EQ(run(scene, Step::install).out, OK);
}

// An indexer that keeps a deleted library open past the bound: its name stays, so its folder does;
// the uninstall stops with the state kept, and a rerun completes once the indexer is done.
TEST(Holds, AnUninstallWhoseFolderStaysPastTheBoundKeepsTheStateForARerun) {
  Scene scene;
  prepare(scene, Step::uninstall);
  Holder holder(scene, u"_vanro/runtime/winmm.dll", true, PAST_THE_BOUND);
  EXPECT_EQ(run(scene, Step::uninstall).err, reported("无法移除补丁新增目录。\n文件：_vanro/runtime"));
  EXPECT_TRUE(path_exists(scene.in_game(INSTALL_STATE_NAME)));
  EXPECT_TRUE(holder.held());
  EXPECT_EQ(run(scene, Step::uninstall).out, OK);
  EXPECT_FALSE(path_exists(scene.in_game(u"_vanro")));
}

}  // namespace
