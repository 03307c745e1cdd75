#include <gtest/gtest.h>

#include <filesystem>

#include "common/launch_copy.h"
#include "common/platform.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/install_scene.h"

namespace {

using namespace install_scene;

const std::string CHANGED = "安装后有剧本、图片或 DLL 被修改，已停止卸载以保护这些修改。";
const std::string LAUNCH_COPY_CHANGED = "内部启动副本已改变，未删除该文件。";
const std::string REPARSE = "目录含符号链接或重解析点，操作已停止。";

struct Installed : Scene {
  std::u16string record_dir;
  std::string state_digest;
  explicit Installed(const std::u16string& hotkey = u"X") {
    selected_hotkey = hotkey;
    install_patch(game);
    record_dir = read_install_state(game).record_dir;
    state_digest = sha256_hex(read_bytes(game + u"/" + INSTALL_STATE_NAME));
  }
  std::string record_name() const { return fs::path(record_dir).filename().string(); }
  // The game folder after a completed uninstall: the game's own files, the record directory with
  // its text, the retired state and the given kept copies.
  Snapshot expected_after(const std::string& retired, const Snapshot& kept = {}) const {
    Snapshot expected = pristine_game;
    expected[record_name()] = "dir";
    expected[record_name() + "/" + wide_to_utf8(RECORD_TEXT_NAME)] = sha256_hex(format_record_text(game));
    expected[record_name() + "/" + retired] = state_digest;
    if (!kept.empty()) expected[record_name() + "/user-edits"] = "dir";
    for (const auto& [name, digest] : kept) expected[record_name() + "/user-edits/" + name] = digest;
    return expected;
  }
};

std::string digest_of(const std::u16string& path) { return sha256_hex(read_bytes(path)); }

void change_byte(const std::u16string& path, std::size_t at) {
  std::string bytes = read_bytes(path);
  bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  write_test_file(path, bytes);
}

TEST(Uninstall, LeavesExactlyTheGameAndTheRecordAfterAHotkeyInstall) {
  Installed scene(u"Q");
  const std::string hook = digest_of(scene.in_game(u"_vanro/hook.ini"));
  uninstall_patch(scene.game, false);
  EXPECT_EQ(differences(scene.expected_after("uninstalled-state.tsv", {{"hook.ini", hook}}), snapshot(scene.game)), "");
}

TEST(Uninstall, RollbackFormRetiresTheStateUnderItsOwnName) {
  Installed scene;
  uninstall_patch(scene.game, true);
  EXPECT_EQ(differences(scene.expected_after("rolled-back-state.tsv"), snapshot(scene.game)), "");
  // Not installed any more: a second uninstall finds no state.
  EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "Cannot open input file");
}

TEST(Uninstall, RefusesToDeleteAChangedFileAndDeletesNothing) {
  struct Case {
    const char* what;
    std::function<void(const Installed&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"a translated script", [](const Installed& s) {
         change_byte(s.in_game(u"_vanro/patch/AdvData/MES/TITLE.MES"), 5);
       }, CHANGED},
      {"the launcher", [](const Installed& s) { change_byte(s.in_game(u"VANROLauncher.exe"), 5); }, CHANGED},
      {"launch copy made from neither the recorded nor the current ZDH.EXE",
       [](const Installed& s) {
         change_byte(s.in_game(u"ZDH.EXE"), 3);
         fs::remove(fs::path(s.in_game(u"_vanro/runtime/VANROGame.exe")));
         write_new_file(s.in_game(u"_vanro/runtime/VANROGame.exe"), build_launch_copy(s.in_game(u"ZDH.EXE")));
         change_byte(s.in_game(u"ZDH.EXE"), 4);
       },
       LAUNCH_COPY_CHANGED},
      {"a recorded file that became a folder",
       [](const Installed& s) {
         fs::remove(fs::path(s.in_game(u"_vanro/japanese.bin")));
         make_test_dir(s.in_game(u"_vanro/japanese.bin"));
       },
       "目标不是普通文件。"},
  };
  for (const Case& c : cases) {
    Installed scene;
    c.change(scene);
    Snapshot before = snapshot(scene.game);
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), c.message) << c.what;
    EXPECT_EQ(differences(before, snapshot(scene.game)), "") << c.what;
  }
}

TEST(Uninstall, KeepsChangedConfigurationAndTheRuntimeLog) {
  Installed scene;
  change_byte(scene.in_game(u"_vanro/core-files.sig"), 0);
  write_test_file(scene.in_game(u"_vanro/runtime.log"), "the runtime's own log");
  // Copies already kept by an earlier uninstall of this record are never overwritten.
  write_test_file(scene.record_dir + u"/user-edits/runtime.log", "older");
  write_test_file(scene.record_dir + u"/user-edits/runtime.log.0", "older still");
  const std::string sig = digest_of(scene.in_game(u"_vanro/core-files.sig"));
  uninstall_patch(scene.game, false);
  EXPECT_EQ(differences(scene.expected_after("uninstalled-state.tsv", {{"core-files.sig", sig},
                                                                       {"runtime.log", sha256_hex("older")},
                                                                       {"runtime.log.0", sha256_hex("older still")},
                                                                       {"runtime.log.1", sha256_hex("the runtime's own log")}}),
                        snapshot(scene.game)),
            "");
}

// As the launcher rebuilds it, from the same game or from the game after an update: either way it
// is what the generation makes of the ZDH.EXE that is there now, and holds nothing of the player's.
TEST(Uninstall, LaunchCopyRebuiltFromTheGameAsItIsNowIsRemoved) {
  for (bool updated : {false, true}) {
    Installed scene;
    if (updated) change_byte(scene.in_game(u"ZDH.EXE"), 3);
    fs::remove(fs::path(scene.in_game(u"_vanro/runtime/VANROGame.exe")));
    write_new_file(scene.in_game(u"_vanro/runtime/VANROGame.exe"), build_launch_copy(scene.in_game(u"ZDH.EXE")));
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "") << updated;
    EXPECT_EQ(differences(scene.expected_after("uninstalled-state.tsv"), snapshot(scene.game)),
              updated ? "changed: ZDH.EXE\n" : "");
  }
}

TEST(Uninstall, FilesTheUserDeletedArePassedOver) {
  Installed scene;
  fs::remove(fs::path(scene.in_game(u"VANROLauncher.exe")));
  fs::remove_all(fs::path(scene.in_game(u"_vanro/patch")));
  uninstall_patch(scene.game, false);
  EXPECT_EQ(differences(scene.expected_after("uninstalled-state.tsv"), snapshot(scene.game)), "");

  Installed empty;
  fs::remove_all(fs::path(empty.in_game(u"_vanro")));
  fs::remove(fs::path(empty.in_game(u"VANROLauncher.exe")));
  uninstall_patch(empty.game, false);
  EXPECT_EQ(differences(empty.expected_after("uninstalled-state.tsv"), snapshot(empty.game)), "");
}

TEST(Uninstall, AFolderWithTheUsersFileStaysWithItsParents) {
  Installed scene;
  write_test_file(scene.in_game(u"_vanro/patch/notes.txt"), "mine");
  uninstall_patch(scene.game, false);
  Snapshot expected = scene.expected_after("uninstalled-state.tsv");
  expected["_vanro"] = "dir";
  expected["_vanro/patch"] = "dir";
  expected["_vanro/patch/notes.txt"] = sha256_hex("mine");
  EXPECT_EQ(differences(expected, snapshot(scene.game)), "");
}

TEST(Uninstall, NeverClimbsAboveTheGameDirectory) {
  // A game directory given with a trailing separator, inside a folder that is otherwise empty:
  // neither of them may be removed.
  Installed scene;
  uninstall_patch(scene.game + u"/", false);
  EXPECT_TRUE(fs::is_directory(fs::path(scene.game)));
  EXPECT_EQ(differences(scene.expected_after("uninstalled-state.tsv"), snapshot(scene.game)), "");
  EXPECT_TRUE(fs::is_directory(fs::path(scene.temp.path)));
}

TEST(Uninstall, RetiredNameTakenStopsAfterRemovingAndKeepsTheState) {
  Installed scene;
  write_test_file(scene.record_dir + u"/uninstalled-state.tsv", "taken");
  EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "无法保存还原状态。");
  EXPECT_TRUE(fs::exists(fs::path(scene.in_game(INSTALL_STATE_NAME))));
  EXPECT_FALSE(fs::exists(fs::path(scene.in_game(u"_vanro"))));
  EXPECT_FALSE(fs::exists(fs::path(scene.in_game(u"VANROLauncher.exe"))));
}

TEST(Uninstall, RemovesLeftoverStagingFilesThatHoldNothingOfTheUsers) {
  Installed scene;
  const std::u16string launcher = scene.in_game(u"VANROLauncher.exe");
  // A crash between a copy and its rename leaves the staging file. The recorded content and a
  // generated launch copy are the install's own and go with it; the staging file of a changed
  // configuration file is kept in user-edits/ first, as the file itself is.
  fs::copy_file(fs::path(launcher), fs::path(launcher + u".vanro-new"));
  write_new_file(scene.in_game(u"_vanro/runtime/VANROGame.exe.vanro-new"), build_launch_copy(scene.in_game(u"ZDH.EXE")));
  const std::string hook = utf16le(u"[hud]\r\ntoggle_key=Q\r\n");
  write_test_file(scene.in_game(u"_vanro/hook.ini.vanro-new"), hook);
  uninstall_patch(scene.game, false);
  // A launch copy writer ended between creating its staging file and writing it leaves it empty; a
  // power cut leaves a file whose data had not reached the disk empty or all zeros.
  Installed ended;
  write_test_file(ended.in_game(u"_vanro/runtime/VANROGame.exe.vanro-new"), "");
  write_test_file(ended.in_game(u"_vanro/japanese.bin.vanro-new"), "");
  write_test_file(ended.in_game(u"_vanro/runtime/winmm.dll.vanro-new"), std::string(5000, '\0'));
  uninstall_patch(ended.game, false);
  EXPECT_EQ(differences(ended.expected_after("uninstalled-state.tsv"), snapshot(ended.game)), "");
  EXPECT_EQ(differences(scene.expected_after("uninstalled-state.tsv", {{"hook.ini", sha256_hex(hook)}}),
                        snapshot(scene.game)),
            "");

  // Anything else under a staging name is left alone, like any file the state does not list: other
  // content and a launch copy's staging file without the byte fixes.
  Installed other;
  const std::pair<std::u16string, std::string> left[] = {
      {u"_vanro/runtime/winmm.dll.vanro-new", "not what was recorded"},
      {u"_vanro/runtime/VANROGame.exe.vanro-new", "half a launch copy"},
  };
  Snapshot expected = other.expected_after("uninstalled-state.tsv");
  expected["_vanro"] = "dir";
  expected["_vanro/runtime"] = "dir";
  for (const auto& [path, bytes] : left) {
    write_test_file(other.in_game(path), bytes);
    expected[wide_to_utf8(path)] = sha256_hex(bytes);
  }
  uninstall_patch(other.game, false);
  EXPECT_EQ(differences(expected, snapshot(other.game)), "");
}

// A folder whose removal fails for any other reason than that it holds something stops the run
// before the state is retired, whether it is empty or holds the player's file: the failure does
// not tell which, and a new run finishes once the folder lets go.
TEST(Uninstall, AFolderThatCannotBeRemovedKeepsTheStateForANewRun) {
  for (const char16_t* user_file : {u"", u"_vanro/patch/notes.txt"}) {
    SCOPED_TRACE(wide_to_utf8(user_file));
    Installed scene, twin;  // the twin's uninstall tells which call removes the folder
    for (const Installed* s : {&scene, &twin})
      if (*user_file) write_test_file(s->in_game(user_file), "mine");
    platform::testing::start_recording();
    uninstall_patch(twin.game, false);
    const std::vector<platform::testing::MutatingCall> calls = platform::testing::recorded_calls();
    const std::u16string folder = fs::path(user_file).parent_path().u16string();
    std::size_t nth = 0;
    while (calls[nth].call != "remove_directory" || !calls[nth].path.ends_with(folder)) ++nth;

    platform::testing::set_fault(platform::testing::FaultMode::fail, nth + 1);
    std::string error = message_of([&] { uninstall_patch(scene.game, false); });
    platform::testing::set_fault(platform::testing::FaultMode::none, 0);
    EXPECT_EQ(error, "无法移除补丁新增目录。");
    EXPECT_TRUE(fs::exists(fs::path(scene.in_game(INSTALL_STATE_NAME))));
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "");
    EXPECT_FALSE(fs::exists(fs::path(scene.in_game(INSTALL_STATE_NAME))));
  }
}

// Windows refuses such a name as invalid, Linux as too long; Wine reports it as not found, so only the
// Linux build can show the refusal here.
#ifndef _WIN32
TEST(Uninstall, ARecordedFileThatCannotBeAskedAboutIsNeverTakenForGone) {
  Installed scene;
  // A name longer than any volume takes: its attributes cannot be read, and only "not found" may
  // count as a file already gone. Passed over, the uninstall would report success with files left.
  const std::string recorded = "_vanro/patch/AdvData/MES/TITLE.MES";
  const std::string unaskable = "_vanro/patch/AdvData/MES/" + std::string(300, 'n') + ".MES";
  std::string text = read_bytes(scene.in_game(INSTALL_STATE_NAME));
  text.replace(text.find(recorded + "\t"), recorded.size(), unaskable);
  fs::remove(fs::path(scene.in_game(INSTALL_STATE_NAME)));
  write_test_file(scene.in_game(INSTALL_STATE_NAME), text);
  const Snapshot before = snapshot(scene.game);
  EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "无法读取文件属性，操作已停止。");
  EXPECT_EQ(reported_file, utf8_to_wide(unaskable));
  EXPECT_EQ(differences(before, snapshot(scene.game)), "");
}
#endif

TEST(Uninstall, StateThatLeadsOutOfTheGameDirectoryIsRefused) {
  Installed scene;
  InstallState state = read_install_state(scene.game);
  const std::u16string state_file = scene.in_game(INSTALL_STATE_NAME);
  const std::string header = "VANROSTATE02\t" + scene.record_name() + "\n";
  auto rewrite = [&](const std::string& text) {
    fs::remove(fs::path(state_file));
    write_test_file(state_file, text);
  };
  auto body_with = [&](const std::string& from, const std::string& to) {
    std::string body;
    for (const ManifestRecord& record : state.entries)
      body += (record.path == from ? to : record.path) + "\t-\t" + record.sha256 + "\n";
    return body;
  };
  // A file outside that the state names by a climbing or absolute path.
  write_test_file(scene.temp.file(u"outside.bin"), "precious");
  struct Case {
    std::string state;
    std::string message;
  };
  const Case cases[] = {
      {header + body_with("_vanro/japanese.bin", "_vanro/../../outside.bin"), "补丁清单路径或哈希无效。"},
      {header + body_with("_vanro/japanese.bin", "/outside.bin"), "补丁清单路径或哈希无效。"},
      {"VANROSTATE02\t../" + scene.record_name() + "\n" + body_with("", ""), "安装状态头无效。"},
      {"VANROSTATE02\t" + wide_to_utf8(scene.temp.path) + "\n" + body_with("", ""), "安装状态头无效。"},
  };
  for (const Case& c : cases) {
    rewrite(c.state);
    // Nothing deleted, inside the game directory or beside it.
    const Snapshot before = snapshot(scene.temp.path);
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), c.message) << c.state.substr(0, 40);
    EXPECT_EQ(differences(before, snapshot(scene.temp.path)), "") << c.state.substr(0, 40);
  }
}

#ifndef _WIN32
// Links made on the Linux side (a Windows program under Wine cannot make them).
TEST(Uninstall, LinksInsideTheGameDirectoryAreRefusedBeforeAnythingIsDeleted) {
  {
    // _vanro/patch replaced by a link to a copy elsewhere that holds the very recorded files.
    Installed scene;
    const fs::path patch(scene.in_game(u"_vanro/patch"));
    fs::rename(patch, fs::path(scene.temp.file(u"elsewhere")));
    fs::create_directory_symlink(fs::path(scene.temp.file(u"elsewhere")), patch);
    Snapshot before = snapshot(scene.temp.path);
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), REPARSE);
    EXPECT_EQ(differences(before, snapshot(scene.temp.path)), "");
  }
  {
    // A recorded file that is a link to a file with the recorded content.
    Installed scene;
    const fs::path dll(scene.in_game(u"_vanro/runtime/winmm.dll"));
    fs::rename(dll, fs::path(scene.temp.file(u"winmm.dll")));
    fs::create_symlink(fs::path(scene.temp.file(u"winmm.dll")), dll);
    Snapshot before = snapshot(scene.temp.path);
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), REPARSE);
    EXPECT_EQ(differences(before, snapshot(scene.temp.path)), "");
  }
  {
    // The record directory replaced by a link.
    Installed scene;
    fs::rename(fs::path(scene.record_dir), fs::path(scene.temp.file(u"records")));
    fs::create_directory_symlink(fs::path(scene.temp.file(u"records")), fs::path(scene.record_dir));
    Snapshot before = snapshot(scene.temp.path);
    EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), REPARSE);
    EXPECT_EQ(differences(before, snapshot(scene.temp.path)), "");
  }
}
#endif

}  // namespace
