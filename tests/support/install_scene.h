// A private copy of the small demo's game folder and package in a temporary folder, with the
// installer's process-wide settings pointing at it, for the tests of install, verify and uninstall.
// Header only: it uses the installer's settings, which the support library does not link.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>

#include "common/file_io.h"
#include "common/patch_error.h"
#include "common/text.h"
#include "installer/settings.h"
#include "integrity/sha256.h"
#include "tests/support/demo.h"
#include "tests/support/message.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace install_scene {

namespace fs = std::filesystem;

// Every file and folder below a folder: relative path ('/' separators, UTF-8) to "dir", "link" or
// the SHA-256 of the file's bytes.
using Snapshot = std::map<std::string, std::string>;

inline std::string read_bytes(const std::u16string& path) { return read_whole_file(path, FILE_HASH_LIMIT); }

inline Snapshot snapshot(const std::u16string& root) {
  Snapshot result;
  for (const TreeEntry& entry : list_tree(root)) {
    std::string relative = wide_to_utf8(entry.relative);
    if (entry.kind == TreeEntry::link) result[relative] = "link";
    else if (entry.kind == TreeEntry::directory) result[relative] = "dir";
    else result[relative] = sha256_hex(read_bytes(root + u"/" + entry.relative));
  }
  return result;
}

// The entries of `after` that are not in `before` with the same value, one per line.
inline std::string differences(const Snapshot& before, const Snapshot& after) {
  std::string text;
  for (const auto& [path, value] : before) {
    auto found = after.find(path);
    if (found == after.end()) text += "gone: " + path + "\n";
    else if (found->second != value) text += "changed: " + path + "\n";
  }
  for (const auto& [path, value] : after)
    if (!before.count(path)) text += "new: " + path + "\n";
  return text;
}

// A profile file as the runtime keeps it: UTF-16 LE with its byte-order mark.
inline std::string utf16le(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// The message a failed install ends with after a completed rollback.
inline std::string rolled_back(const std::string& message) {
  return message + "\n已撤销本次安装的补丁文件，原游戏资源未改动。";
}

// A unique folder for one scene, removed with everything in it at the end. Natively it lies in
// memory (/dev/shm) when there is one: the install syncs every rename to disk, which on a slow
// disk would make the hundreds of installs of these tests take minutes without testing more.
inline fs::path default_scene_root() {
#ifndef _WIN32
  if (fs::is_directory("/dev/shm")) return "/dev/shm";
#endif
  return fs::temp_directory_path();
}

struct SceneDir {
  std::u16string path;
  explicit SceneDir(const fs::path& root = default_scene_root()) {
    static int counter = 0;
    fs::create_directories(root);
    for (int attempt = 0;; ++attempt) {
      fs::path candidate = root / ("vanro-scene-" + std::to_string(std::random_device()()) + "-" +
                                   std::to_string(counter++));
      if (fs::create_directory(candidate)) {
        path = candidate.u16string();
        return;
      }
      if (attempt > 100) throw std::runtime_error("cannot make a scene folder");
    }
  }
  ~SceneDir() { remove_tree(path); }
  SceneDir(const SceneDir&) = delete;
  SceneDir& operator=(const SceneDir&) = delete;
  std::u16string file(std::u16string_view relative) const { return path + u"/" + std::u16string(relative); }
};

struct Scene {
  SceneDir temp;
  std::u16string game, package;
  Snapshot pristine_game;

  // The scene's folder is made in `root`, which is created when it is missing; the game and the
  // package folders lie in it, below the given relative folders (each ending with '/', or empty).
  explicit Scene(const fs::path& root = default_scene_root(), const std::u16string& game_within = u"",
                 const std::u16string& package_within = u"")
      : temp(root) {
    const DemoPaths& demo = small_demo();
    game = temp.file(game_within + u"game");
    package = temp.file(package_within + u"package");
    fs::create_directories(any_length(game).parent_path());
    fs::create_directories(any_length(package).parent_path());
    copy_tree(demo.game, game);
    copy_tree(demo.package, package);
    pristine_game = snapshot(game);
    installer_dir = package;
    selected_hotkey = u"X";
    reported_file.clear();
  }

  std::u16string in_game(std::u16string_view relative) const { return game + u"/" + std::u16string(relative); }
  std::u16string in_patch(std::u16string_view relative) const {
    return package + u"/patch/" + std::u16string(relative);
  }
  // The package's own installer program, run as a process with these arguments, refusing paths as
  // a default Windows does (one without the long-path policy).
  RunResult run_installer(const std::vector<std::u16string>& arguments,
                          const std::u16string& working_directory = {}) const {
    return run_program(package + u"/VANROInstaller.exe", arguments, {{"VANRO_WINDOWS_PATH_LIMITS", "1"}},
                       working_directory);
  }
  // What changed in the game folder since the scene was made.
  std::string game_changes() const { return differences(pristine_game, snapshot(game)); }
};

}  // namespace install_scene
