// The stand-in game. It does what the launcher relies on a started game to do and records it, so
// that a test or the demo can read what the launcher gave it:
//
//   standin-game.log in the current directory (which the launcher sets to the game directory):
//     command_line=<the whole command line it was given>
//     current_directory=<its current directory>
//     winmm_beside_image=yes|no
//     launch_fixes=yes|no        whether its own file carries the eight byte fixes
//     runtime=started|missing|not-loadable|no-entry
//
// Under Wine "no-entry" usually means that Wine loaded its own built-in winmm.dll instead of the
// file beside the image: Wine must be told to prefer it (WINEDLLOVERRIDES=winmm=n,b in the Unix
// environment, or the DllOverrides key of the application VANROGame.exe).
//
// The record is written under a temporary name and renamed when complete, after the runtime has
// run, so whoever sees the file may read it whole and find the runtime's line already written.
// A test that must see the launcher end before the game does puts standin-game.hold into the
// game directory: the game then stays until that file is gone (at most two minutes) after recording.
//
// The program is meant to be padded (an overlay of zero bytes after the image) to beyond the
// largest offset of the byte-fix table before it is used as ZDH.EXE; the fixes then fall into the
// padding, which the loader never maps, and the launch copy runs like the original.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/text.h"
#include "tools/standin/standin_game.h"

namespace {

bool is_present(const std::u16string& path) {
  std::optional<uint32_t> attributes = platform::file_attributes(path);
  return attributes && (*attributes & platform::ATTRIBUTE_DIRECTORY) == 0;
}

std::string yes_no(bool value) { return value ? "yes" : "no"; }

std::string current_directory() {
  std::error_code error;
  std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string("?") : wide_to_utf8(directory.u16string());
}

void hold_while_asked() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  std::error_code error;
  while (std::filesystem::exists("standin-game.hold", error) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

int run_standin_game(const std::string& command_line) {
  std::u16string image = get_module_path();
  std::u16string image_dir = parent_path(image);
  std::u16string runtime = join_path(image_dir, u"winmm.dll");

  std::string record;
  record += "command_line=" + command_line + "\n";
  record += "current_directory=" + current_directory() + "\n";
  record += "winmm_beside_image=" + yes_no(is_present(runtime)) + "\n";
  record += "launch_fixes=" + yes_no(file_has_launch_fixes(image)) + "\n";
  record += "runtime=" + start_runtime(runtime) + "\n";

  {
    std::ofstream out("standin-game.log.part", std::ios::binary | std::ios::trunc);
    out << record;
    if (!out.flush()) return 2;
  }
  std::error_code error;
  std::filesystem::rename("standin-game.log.part", "standin-game.log", error);
  if (error) return 2;
  hold_while_asked();
  return 0;
}
