#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>

#include "common/launch_copy.h"
#include "common/platform.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "package/manifest.h"
#include "tests/support/install_scene.h"
#include "tests/support/manifest_builder.h"
#include "tests/support/process.h"

namespace {

using namespace install_scene;

const std::string FILE_BAD = "补丁文件缺失或哈希不符。";
const std::string NO_SPACE = "磁盘剩余空间不足。";

// The bytes and name of the one record directory in the game folder.
std::u16string record_dir_of(const Scene& scene) {
  std::u16string found;
  for (const auto& entry : fs::directory_iterator(fs::path(scene.game)))
    if (entry.path().filename().string().rfind("VANRO_backup_", 0) == 0) {
      EXPECT_TRUE(found.empty()) << "more than one record directory";
      found = entry.path().u16string();
    }
  return found;
}

std::string name_of(const std::u16string& path) { return fs::path(path).filename().string(); }

// What install adds, as the game folder's snapshot lists it: every record, its directories,
// the state file and the record directory with its text.
Snapshot expected_after_install(const Scene& scene, const PatchManifest& records, const std::string& record_dir) {
  Snapshot expected = scene.pristine_game;
  for (const ManifestRecord& record : records) {
    expected[record.path] = record.sha256;
    for (fs::path dir = fs::path(record.path).parent_path(); !dir.empty(); dir = dir.parent_path())
      expected[dir.generic_string()] = "dir";
  }
  expected[wide_to_utf8(INSTALL_STATE_NAME)] = sha256_hex(read_bytes(scene.in_game(INSTALL_STATE_NAME)));
  expected[record_dir] = "dir";
  expected[record_dir + "/" + wide_to_utf8(RECORD_TEXT_NAME)] = sha256_hex(format_record_text(scene.game));
  return expected;
}

// The records as the install must have recorded them: the manifest with the launch copy's digest.
PatchManifest recorded_records(const Scene& scene) {
  PatchManifest records = read_patch_manifest(scene.package);
  std::string launch_copy = build_launch_copy(scene.in_game(u"ZDH.EXE"));
  for (ManifestRecord& record : records)
    if (record.path == LAUNCH_COPY_PATH) record.sha256 = sha256_hex(launch_copy);
  return records;
}

uint64_t space_needed(const Scene& scene) {
  uint64_t needed = 16777216;
  for (const ManifestRecord& record : read_patch_manifest(scene.package))
    needed += 2 * fs::file_size(fs::path(record.path == LAUNCH_COPY_PATH ? scene.in_game(u"ZDH.EXE")
                                                                      : scene.in_patch(utf8_to_wide(record.path))));
  return needed;
}


// Read without the installer's reader, whose share mode or lock would refuse the file while the
// install itself has it open.
std::string read_unlocked(const std::u16string& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw std::runtime_error("cannot read " + wide_to_utf8(path));
  return bytes;
}

void flip_last_byte(const std::u16string& path) {
  std::string bytes = read_unlocked(path);
  bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  write_test_file(path, bytes);
}

void replace_manifest_digest(const Scene& scene, const std::string& path, const std::string& digest) {
  PatchManifest records = read_patch_manifest(scene.package);
  for (ManifestRecord& record : records)
    if (record.path == path) record.sha256 = digest;
  write_test_file(scene.package + u"/patch-manifest.tsv", manifest_text(records));
}

TEST(Install, PutsEveryRecordInPlaceAfterItsRecords) {
  Scene scene;
  install_patch(scene.game);
  EXPECT_TRUE(reported_file.empty());

  PatchManifest records = recorded_records(scene);
  std::u16string record_dir = record_dir_of(scene);
  ASSERT_FALSE(record_dir.empty());
  EXPECT_EQ(read_bytes(scene.in_game(INSTALL_STATE_NAME)),
            format_install_state(fs::path(record_dir).filename().u16string(), records));
  EXPECT_EQ(read_bytes(record_dir + u"/" + RECORD_TEXT_NAME), format_record_text(scene.game));
  // Exactly the records, their folders and the two traces: no staging file, nothing of the game changed.
  EXPECT_EQ(differences(expected_after_install(scene, records, name_of(record_dir)), snapshot(scene.game)), "");
  EXPECT_TRUE(file_has_launch_fixes(scene.in_game(u"_vanro/runtime/VANROGame.exe")));
  // With the default hotkey the installed hook.ini is the packaged file, byte for byte.
  EXPECT_EQ(read_bytes(scene.in_game(u"_vanro/hook.ini")), read_bytes(scene.in_patch(u"_vanro/hook.ini")));
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
}

TEST(Install, EveryStagingFileIsOnDiskBeforeItsFinalNameExists) {
  Scene scene;
  platform::testing::start_recording();
  install_patch(scene.game);
  const std::vector<platform::testing::MutatingCall> calls = platform::testing::recorded_calls();
  // The state file and the launch copy are flushed by their writers; every packaged file is flushed
  // under its staging name before that name is renamed.
  std::map<std::u16string, std::size_t> flushed_at;
  std::size_t renamed = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& [call, path] = calls[i];
    if (call == "flush_file") flushed_at[path] = i;
    bool written_by_handle = path.find(INSTALL_STATE_NAME) != std::u16string::npos ||
                             path.find(u"VANROGame.exe") != std::u16string::npos;
    if (call != "move_file_new" || written_by_handle) continue;
    ++renamed;
    EXPECT_TRUE(flushed_at.count(path) && flushed_at[path] < i) << testing::PrintToString(path);
  }
  EXPECT_EQ(renamed, 514u);
  EXPECT_GE(flushed_at.size(), 514u);
}

TEST(Install, StoresTheChosenHotkeyInUtf16) {
  Scene scene;
  selected_hotkey = u"Q";
  install_patch(scene.game);
  std::string bytes = read_bytes(scene.in_game(u"_vanro/hook.ini"));
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  std::u16string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
  EXPECT_NE(text.find(u"[hud]"), std::u16string::npos);
  EXPECT_NE(text.find(u"toggle_key=Q"), std::u16string::npos);
  EXPECT_EQ(text.find(u"toggle_key=X"), std::u16string::npos);
  // The state still records the packaged file, and verify accepts the changed value.
  EXPECT_EQ(read_install_state(scene.game).entries.size(), 515u);
  EXPECT_EQ(read_bytes(scene.in_game(INSTALL_STATE_NAME)),
            format_install_state(fs::path(record_dir_of(scene)).filename().u16string(), recorded_records(scene)));
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
}

TEST(Install, RefusesEarlierComponentsBeforeReadingThePackage) {
  struct Case {
    const char16_t* path;
    bool directory;
    std::string message;
  };
  const Case cases[] = {
      {u"vanro-install-state.tsv", false,
       "已有补丁安装记录。旧版覆盖式补丁请先使用原安装器卸载，再安装本隔离版补丁。"},
      {u"winmm.dll", false, "游戏目录已有 winmm.dll。已装旧版补丁请先使用原安装器卸载；其他组件请先妥善保留。"},
      {u"winmm.dll", true, "游戏目录已有 winmm.dll。已装旧版补丁请先使用原安装器卸载；其他组件请先妥善保留。"},
      {u"VANROGame.exe", false, "游戏目录已有旧版内部游戏组件，请先使用安装该版本的原安装器卸载。"},
      {u"_vanro", true, "游戏目录已有补丁组件。已装旧版补丁请先使用原安装器卸载；其他文件请先妥善保留。"},
      {u"_vanro", false, "游戏目录已有补丁组件。已装旧版补丁请先使用原安装器卸载；其他文件请先妥善保留。"},
  };
  for (const Case& c : cases) {
    Scene scene;
    // Without a manifest, any read of the package would fail with another message.
    fs::remove(fs::path(scene.package + u"/patch-manifest.tsv"));
    if (c.directory) {
      make_test_dir(scene.in_game(c.path));
    } else {
      write_test_file(scene.in_game(c.path), "");
    }
    Snapshot before = snapshot(scene.game);
    EXPECT_EQ(message_of([&] { install_patch(scene.game); }), c.message) << wide_to_utf8(c.path);
    EXPECT_EQ(differences(before, snapshot(scene.game)), "");
  }
}

TEST(Install, RefusesABrokenPackageOrTargetAndChangesNothing) {
  struct Case {
    const char* what;
    std::function<void(const Scene&)> arrange;
    std::string message;
    std::u16string reported;
  };
  const Case cases[] = {
      {"manifest of only its header",
       [](const Scene& s) { write_test_file(s.package + u"/patch-manifest.tsv", "VANROPATCH04\n"); },
       "补丁清单缺失。", u""},
      {"manifest header with a TAB",
       [](const Scene& s) {
         std::string text = read_bytes(s.package + u"/patch-manifest.tsv");
         write_test_file(s.package + u"/patch-manifest.tsv", "VANROPATCH04\t" + text.substr(12));
       },
       "补丁清单格式不正确。", u""},
      {"package carries a launch copy",
       [](const Scene& s) { write_test_file(s.in_patch(u"_vanro/runtime/VANROGame.exe"), "MZ"); },
       "补丁包不应包含完整游戏启动程序，请使用原始补丁文件。", u"_vanro/runtime/VANROGame.exe"},
      {"packaged default hotkey Y",
       [](const Scene& s) {
         write_test_file(s.in_patch(u"_vanro/hook.ini"), utf16le(u"[hud]\r\ntoggle_key=Y\r\n"));
       },
       "补丁默认原文热键配置无效。", u"_vanro/hook.ini"},
      {"ZDH.EXE of another version, too short for the byte fixes",
       [](const Scene& s) { fs::resize_file(fs::path(s.in_game(u"ZDH.EXE")), 4096); },
       "ZDH.EXE is too short for the launch copy's byte fixes", u"ZDH.EXE"},
      {"packaged file damaged", [](const Scene& s) { flip_last_byte(s.in_patch(u"_vanro/runtime/winmm.dll")); },
       FILE_BAD, u"_vanro/runtime/winmm.dll"},
      {"packaged hook.ini damaged (in its comment)",
       [](const Scene& s) {
         std::string bytes = read_bytes(s.in_patch(u"_vanro/hook.ini"));
         bytes[6] = static_cast<char>(bytes[6] ^ 0x01);
         write_test_file(s.in_patch(u"_vanro/hook.ini"), bytes);
       },
       FILE_BAD, u"_vanro/hook.ini"},
      {"packaged file missing", [](const Scene& s) { fs::remove(fs::path(s.in_patch(u"_vanro/FONT-LICENSE.txt"))); },
       FILE_BAD, u"_vanro/FONT-LICENSE.txt"},
      {"packaged file is a folder",
       [](const Scene& s) {
         fs::remove(fs::path(s.in_patch(u"_vanro/FONT-LICENSE.txt")));
         make_test_dir(s.in_patch(u"_vanro/FONT-LICENSE.txt"));
       },
       FILE_BAD, u"_vanro/FONT-LICENSE.txt"},
      {"target exists", [](const Scene& s) { write_test_file(s.in_game(u"VANROLauncher.exe"), "mine"); },
       "新增文件的目标已存在。", u"VANROLauncher.exe"},
      {"leftover staging file",
       [](const Scene& s) { write_test_file(s.in_game(u"VANROLauncher.exe.vanro-new"), "left over"); },
       "发现残留的补丁临时文件。", u"VANROLauncher.exe"},
      {"game script missing", [](const Scene& s) { fs::remove(fs::path(s.in_game(u"AdvData/MES/title.MES"))); },
       "游戏目录缺少存档兼容表要求的原版剧本文件。", u""},
      {"ZDH.EXE not a game", [](const Scene& s) { fs::remove(fs::path(s.in_game(u"ZDH.EXE"))); },
       "所选目录不是 Lirra 游戏目录。", u""},
  };
  for (const Case& c : cases) {
    Scene scene;
    c.arrange(scene);
    Snapshot before = snapshot(scene.game);
    EXPECT_EQ(message_of([&] { install_patch(scene.game); }), c.message) << c.what;
    if (!c.reported.empty()) {
      EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(c.reported)) << c.what;
    }
    EXPECT_EQ(differences(before, snapshot(scene.game)), "") << c.what;
  }
}

TEST(Install, DefaultHotkeyIsReadAsTheProfileReadsIt) {
  Scene scene;
  std::string blanks_x = utf16le(u"[hud]\r\ntoggle_key= x \r\n");
  write_test_file(scene.in_patch(u"_vanro/hook.ini"), blanks_x);
  replace_manifest_digest(scene, "_vanro/hook.ini", sha256_hex(blanks_x));
  EXPECT_EQ(message_of([&] { install_patch(scene.game); }), "");
}

TEST(Install, FreeSpaceExactlyAtTheNeedPasses) {
  Scene scene;
  const uint64_t needed = space_needed(scene);
  platform::testing::set_free_space(needed - 1);
  EXPECT_EQ(message_of([&] { install_patch(scene.game); }), NO_SPACE);
  EXPECT_EQ(reported_file, scene.game);
  EXPECT_EQ(scene.game_changes(), "");
  platform::testing::set_free_space(needed);
  EXPECT_EQ(message_of([&] { install_patch(scene.game); }), "");
  platform::testing::set_free_space(std::nullopt);
}

// The rollback touches every file again; its report still names the file whose step failed.
TEST(Install, ACompletedRollbackNamesTheFileThatFailed) {
  std::vector<platform::testing::MutatingCall> calls;
  {
    Scene twin;  // to learn which call copies the first packaged file
    platform::testing::start_recording();
    install_patch(twin.game);
    calls = platform::testing::recorded_calls();
  }
  Scene scene;
  std::size_t nth = 0;
  const std::u16string first_copy = u"VANROLauncher.exe" + std::u16string(STAGING_SUFFIX);
  while (calls[nth].call != "create_new_file" || !calls[nth].path.ends_with(first_copy)) ++nth;
  platform::testing::set_fault(platform::testing::FaultMode::fail, nth + 1);
  EXPECT_EQ(message_of([&] { install_patch(scene.game); }), rolled_back("无法创建文件副本。"));
  platform::testing::set_fault(platform::testing::FaultMode::none, 0);
  EXPECT_EQ(wide_to_utf8(reported_file), read_patch_manifest(scene.package).front().path);
}

TEST(Install, SecondInstallIsRefused) {
  Scene scene;
  install_patch(scene.game);
  Snapshot installed = snapshot(scene.game);
  EXPECT_EQ(message_of([&] { install_patch(scene.game); }),
            "已有补丁安装记录。旧版覆盖式补丁请先使用原安装器卸载，再安装本隔离版补丁。");
  EXPECT_EQ(differences(installed, snapshot(scene.game)), "");
}

// The package is damaged after the install checked it and before its first copy: at its first
// change, the creation of its record directory. The packaged file copied last then no longer has
// its recorded digest (the manifest is sorted, save-offsets.bin is its last record), and the
// rollback removes every file copied before it.
std::string install_damaged_at(const Scene& scene, uint64_t nth, const std::function<void()>& damage) {
  platform::testing::run_at(nth, damage);
  std::string error = message_of([&] { install_patch(scene.game); });
  platform::testing::run_at(0, nullptr);
  return error;
}

TEST(Install, PackageDamagedBetweenTheChecksAndTheCopyRollsBack) {
  Scene scene;
  std::string error =
      install_damaged_at(scene, 1, [&] { flip_last_byte(scene.in_patch(u"_vanro/save-offsets.bin")); });
  EXPECT_EQ(error, rolled_back("写入后的哈希不符。"));

  // Not installed: the record directory holds its text and the retired state, nothing else is left.
  std::u16string record_dir = record_dir_of(scene);
  ASSERT_FALSE(record_dir.empty());
  Snapshot expected = scene.pristine_game;
  const std::string name = name_of(record_dir);
  expected[name] = "dir";
  expected[name + "/" + wide_to_utf8(RECORD_TEXT_NAME)] = sha256_hex(format_record_text(scene.game));
  expected[name + "/rolled-back-state.tsv"] = sha256_hex(read_bytes(record_dir + u"/rolled-back-state.tsv"));
  EXPECT_EQ(differences(expected, snapshot(scene.game)), "");

  // A new install can run at once (as a new process, so with a record directory of its own name).
  flip_last_byte(scene.in_patch(u"_vanro/save-offsets.bin"));
  RunResult run = run_program(scene.package + u"/VANROInstaller.exe", {u"--install", u"--quiet", scene.game});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
}

TEST(Install, RollbackThatCannotFinishSaysSo) {
  Scene scene;
  // Besides the damage, the retired state's name is taken in the record directory (made by the
  // first change), so the rollback removes every file and then cannot move the state file away.
  std::string error = install_damaged_at(scene, 2, [&] {
    write_test_file(record_dir_of(scene) + u"/rolled-back-state.tsv", "taken");
    flip_last_byte(scene.in_patch(u"_vanro/save-offsets.bin"));
  });
  EXPECT_EQ(error, "写入后的哈希不符。\n自动还原未完成：无法保存还原状态。\n请保留游戏目录中的安装状态文件和安装记录。");
  EXPECT_TRUE(fs::exists(fs::path(scene.in_game(INSTALL_STATE_NAME))));
  EXPECT_FALSE(fs::exists(fs::path(scene.in_game(u"_vanro"))));
  // The ordinary uninstall then completes under its own retired name.
  EXPECT_EQ(message_of([&] { uninstall_patch(scene.game, false); }), "");
  EXPECT_TRUE(fs::exists(fs::path(record_dir_of(scene) + u"/uninstalled-state.tsv")));
}

}  // namespace
