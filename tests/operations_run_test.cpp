// Install, verify and uninstall as real processes on the game folders and packages players have:
// a folder given in its verbatim form, a folder on Wine's Z: (where Linux players keep their games),
// paths past 260 characters, read-only package files and a packaged key spelled Toggle_Key.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "common/path.h"
#include "common/platform.h"
#include "common/profile.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/install_scene.h"
#include "tests/support/process.h"

namespace {

using namespace install_scene;

const std::string OK = reported("OK");

// The game folder after a completed uninstall: the game's own files and record folders that hold
// the record text, the retired state and the copies named in `kept`, nothing else.
std::string left_beyond_the_game(const Scene& scene, const std::set<std::string>& kept = {}) {
  Snapshot game, records;
  for (const auto& [path, value] : snapshot(scene.game))
    (path.rfind("VANRO_backup_", 0) == 0 ? records : game)[path] = value;
  std::string text = differences(scene.pristine_game, game);
  std::set<std::string> names;
  for (const auto& [path, value] : records)
    if (path.find('/') != std::string::npos) names.insert(path.substr(path.find('/') + 1));
  std::set<std::string> expected = {wide_to_utf8(RECORD_TEXT_NAME), "uninstalled-state.tsv"};
  if (!kept.empty()) expected.insert("user-edits");
  for (const std::string& name : kept) expected.insert("user-edits/" + name);
  if (names != expected) text += "the record folder holds other files\n";
  return text;
}

bool read_only(const std::u16string& path) {
  return (fs::status(fs::path(path)).permissions() & fs::perms::owner_write) == fs::perms::none;
}

void make_read_only(const std::u16string& path) {
  fs::permissions(fs::path(path), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

// Three folders of 90 characters put every file below them well past 260 characters.
const std::u16string DEEP =
    std::u16string(90, u'd') + u"/" + std::u16string(90, u'e') + u"/" + std::u16string(90, u'f') + u"/";

struct FolderForm {
  const char* name;
  fs::path root;          // where the scene's folder is made
  std::u16string within;  // the game folder below it
  bool verbatim;          // the game folder is given as \\?\ followed by its path
};

std::vector<FolderForm> folder_forms() {
  std::vector<FolderForm> forms = {{"past 260 characters", default_scene_root(), DEEP, false}};
#ifdef _WIN32
  forms.push_back({"verbatim", default_scene_root(), u"", true});
  forms.push_back({"verbatim past 260 characters", default_scene_root(), DEEP, true});
  forms.push_back({"on Z:, the Linux root", fs::path(u"Z:\\tmp"), u"", false});
#endif
  return forms;
}

TEST(OperationsRun, EveryFormOfTheGameFolderInstallsVerifiesAndUninstalls) {
  for (const FolderForm& form : folder_forms()) try {
    SCOPED_TRACE(form.name);
    Scene scene(form.root, form.within);
    std::u16string game = form.verbatim ? u"\\\\?\\" + lexically_normal(scene.game) : scene.game;
    // A hotkey other than X makes the install write hook.ini with the profile functions.
    RunResult install = scene.run_installer({u"--install", u"--quiet", u"--hotkey", u"Y", game});
    EXPECT_EQ(install.err, "");
    EXPECT_EQ(install.out, OK);
    EXPECT_EQ(get_profile_string(u"hud", u"toggle_key", u"", scene.in_game(u"_vanro/hook.ini"), 32), u"Y");
    RunResult verify = scene.run_installer({u"--verify", u"--quiet", game});
    EXPECT_EQ(verify.err, "");
    EXPECT_EQ(verify.out, OK);
    RunResult uninstall = scene.run_installer({u"--uninstall", u"--quiet", game});
    EXPECT_EQ(uninstall.err, "");
    EXPECT_EQ(uninstall.out, OK);
    EXPECT_EQ(left_beyond_the_game(scene, {"hook.ini"}), "");
  } catch (const std::exception& error) {
    ADD_FAILURE() << form.name << ": " << error.what();
  }
}

// Wine cannot start a program from a path past 260 characters, so the installer of a package that
// deep is run in this process, which reads the package as the program would, and refuses paths as
// a default Windows does.
TEST(OperationsRun, APackagePast260CharactersIsReadWhole) {
  Scene scene(default_scene_root(), DEEP, DEEP);
  selected_hotkey = u"Y";
  platform::testing::set_windows_path_limits(true);
  EXPECT_EQ(message_of([&] { install_patch(scene.game); }), "");
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
  EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "");
  platform::testing::set_windows_path_limits(false);
  EXPECT_EQ(left_beyond_the_game(scene, {"hook.ini"}), "");
}

TEST(OperationsRun, ReadOnlyFilesNeverKeepTheUninstallFromRemovingThePatch) {
  Scene scene;
  // A package copied from a disc: the copies carry the attribute over.
  make_read_only(scene.in_patch(u"_vanro/patch/AdvData/MES/TITLE.MES"));
  make_read_only(scene.in_patch(u"_vanro/runtime/winmm.dll"));
  EXPECT_EQ(scene.run_installer({u"--install", u"--quiet", scene.game}).out, OK);
  EXPECT_FALSE(read_only(scene.in_game(u"_vanro/patch/AdvData/MES/TITLE.MES")));
  EXPECT_FALSE(read_only(scene.in_game(u"_vanro/runtime/winmm.dll")));
  // An install made before the install cleared the attribute.
  make_read_only(scene.in_game(u"VANROLauncher.exe"));
  make_read_only(scene.in_game(u"_vanro/hook.ini"));
  RunResult uninstall = scene.run_installer({u"--uninstall", u"--quiet", scene.game});
  EXPECT_EQ(uninstall.err, "");
  EXPECT_EQ(uninstall.out, OK);
  EXPECT_EQ(left_beyond_the_game(scene), "");
}

#ifndef _WIN32
// A game folder the player may not write (a protected folder, another user's): the install is
// refused at its first change, which names what it could not create. Run as a user other than root.
TEST(OperationsRun, AGameFolderThePlayerMayNotWriteIsRefusedBeforeAnyChange) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root to run as another user";
  Scene scene;
  fs::permissions(fs::path(scene.temp.path), fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
  RunResult result = run_program(u"/usr/bin/setpriv", {u"--reuid=65534", u"--regid=65534", u"--clear-groups",
                                                       scene.package + u"/VANROInstaller.exe", u"--install",
                                                       u"--quiet", scene.game});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("create_directory"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("\n文件：VANRO_backup_"), std::string::npos) << result.err;
  EXPECT_EQ(scene.game_changes(), "");
}
#endif

TEST(OperationsRun, APackagedKeyInAnotherSpellingTakesTheChosenLetter) {
  Scene scene;
  const std::string hook = utf16le(u"[HUD]\r\n; the key that shows the source text\r\nToggle_Key = X\r\n");
  write_test_file(scene.in_patch(u"_vanro/hook.ini"), hook);
  std::string manifest = read_bytes(scene.package + u"/patch-manifest.tsv");
  std::size_t at = manifest.find("_vanro/hook.ini\t-\t") + std::string("_vanro/hook.ini\t-\t").size();
  manifest.replace(at, 64, sha256_hex(hook));
  fs::remove(fs::path(scene.package + u"/patch-manifest.tsv"));
  write_test_file(scene.package + u"/patch-manifest.tsv", manifest);

  RunResult install = scene.run_installer({u"--install", u"--quiet", u"--hotkey", u"Q", scene.game});
  EXPECT_EQ(install.err, "");
  EXPECT_EQ(install.out, OK);
  // The stored spelling stays and only the value changes, as the profile functions leave it.
  EXPECT_EQ(decode_profile(read_bytes(scene.in_game(u"_vanro/hook.ini"))).text,
            u"[HUD]\r\n; the key that shows the source text\r\nToggle_Key=Q\r\n");
  EXPECT_EQ(scene.run_installer({u"--verify", u"--quiet", scene.game}).out, OK);
}


// What a careless script, a space-saving tool or an edited state file can put in the installer's
// way, and what the operation (an uninstall runs on an installed game) must do about it.
struct Trap {
  const char* what;
  std::function<void(const Scene&)> arrange;
  const char16_t* operation;
  std::string err;  // "" for a run that completes
};

// Replaces the first line start `from` of a package or state file.
void edit_line(const std::u16string& file, const std::string& from, const std::string& to) {
  std::string text = read_bytes(file);
  text.replace(text.find("\n" + from) + 1, from.size(), to);
  fs::remove(fs::path(file));
  write_test_file(file, text);
}

const std::string GRP = "_vanro/patch/AdvData/GRP/SYSTEM/";
const std::string BAD_PATH = "补丁清单路径或哈希无效。";
const std::string BAD_STATE = BAD_PATH + "\n文件：vanro-install-state.tsv";
const std::string LINKED = "目录含符号链接或重解析点，操作已停止。";

std::vector<Trap> traps() {
  auto manifest = [](const Scene& s) { return s.package + u"/patch-manifest.tsv"; };
  auto state = [](const Scene& s) { return s.in_game(INSTALL_STATE_NAME); };
  return {
      {"a record named like another record's staging file (in other case)",
       [=](const Scene& s) { edit_line(manifest(s), GRP + "BTN_002.png", GRP + "BTN_001.png.VANRO-NEW"); },
       u"--install", BAD_PATH},
      {"a packaged device name", [=](const Scene& s) { edit_line(manifest(s), GRP + "BTN_002.png", GRP + "aux.png"); },
       u"--install", BAD_PATH},
      {"a recorded device name",
       [=](const Scene& s) { edit_line(state(s), GRP + "BTN_002.png", "_vanro/patch/AdvData/MES/NUL"); },
       u"--uninstall", BAD_STATE},
      {"a recorded device name with an extension",
       [=](const Scene& s) { edit_line(state(s), GRP + "BTN_002.png", GRP + "COM1.png"); }, u"--uninstall", BAD_STATE},
      {"a recorded staging name",
       [=](const Scene& s) { edit_line(state(s), "VANROLauncher.exe", "VANROLauncher.exe.vanro-new"); }, u"--uninstall",
       BAD_STATE},
      {"an installed file replaced by a link to an identical copy elsewhere",
       [](const Scene& s) {
         fs::rename(fs::path(s.in_game(u"_vanro/runtime/winmm.dll")), fs::path(s.temp.file(u"winmm.dll")));
         make_symbolic_link(s.temp.file(u"winmm.dll"), s.in_game(u"_vanro/runtime/winmm.dll"));
       },
       u"--uninstall", LINKED + "\n文件：_vanro/runtime/winmm.dll"},
      {"an installed file made a link to ZDH.EXE, its digest edited to match",
       [=](const Scene& s) {
         const std::string record = "VANROLauncher.exe\t-\t";
         edit_line(state(s), record + sha256_hex(read_bytes(s.in_game(u"VANROLauncher.exe"))),
                   record + sha256_hex(read_bytes(s.in_game(u"ZDH.EXE"))));
         fs::remove(fs::path(s.in_game(u"VANROLauncher.exe")));
         make_symbolic_link(s.in_game(u"ZDH.EXE"), s.in_game(u"VANROLauncher.exe"));
       },
       u"--uninstall", LINKED + "\n文件：VANROLauncher.exe"},
      {"the runtime log a link to a file elsewhere",
       [](const Scene& s) { make_symbolic_link(s.temp.file(u"outside.txt"), s.in_game(u"_vanro/runtime.log")); },
       u"--uninstall", ""},
      {"a folder at the runtime log's name",
       [](const Scene& s) { write_test_file(s.in_game(u"_vanro/runtime.log/old.txt"), "kept"); }, u"--uninstall", ""},
      {"verify without the patch", [](const Scene&) {}, u"--verify", "Cannot open input file\n文件：vanro-install-state.tsv"},
  };
}

TEST(OperationsRun, NoPackageStateOrLinkCanTrapTheGameFolderOrReachOutOfIt) {
  for (const Trap& trap : traps()) try {
    SCOPED_TRACE(trap.what);
    Scene scene;
    write_test_file(scene.temp.file(u"outside.txt"), "a file of the player's, outside the game folder");
    if (trap.operation == std::u16string(u"--uninstall")) {
      ASSERT_EQ(scene.run_installer({u"--install", u"--quiet", scene.game}).out, OK);
    }
    trap.arrange(scene);
    const Snapshot before = snapshot(scene.temp.path);
    RunResult run = scene.run_installer({trap.operation, u"--quiet", scene.game});
    Snapshot after = snapshot(scene.temp.path);
    EXPECT_EQ(run.err, trap.err.empty() ? "" : reported(trap.err));
    // A refusal changes nothing; an uninstall changes nothing outside the game folder and leaves
    // what the install did not add.
    EXPECT_TRUE(trap.err.empty() || differences(before, after).empty()) << differences(before, after);
    for (const auto& [path, value] : before)
      EXPECT_TRUE((path.rfind("game/", 0) == 0 && path.rfind("game/_vanro/runtime.log", 0) != 0) || after[path] == value);
  } catch (const std::exception& error) {
    ADD_FAILURE() << trap.what << ": " << error.what();
  }
}

}  // namespace
