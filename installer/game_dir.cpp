#include "installer/game_dir.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/launch_copy.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"

void check_game_dir(const std::u16string& dir) {
  // An empty or relative path has no root to walk up to: the reparse walk and the running-game
  // check would look at nothing, or at wherever the process happens to run.
  if (!is_absolute_path(dir)) throw PatchError(NOT_A_GAME_DIRECTORY);
  // The report names the folder that is the link, so that the player knows what to move out of.
  if (std::optional<std::u16string> link = reparse_point_on(dir)) {
    reported_file = *link;
    throw PatchError(REPARSE_POINT_MESSAGE);
  }
  if (!is_plain_file(join_path(dir, u"ZDH.EXE"))) throw PatchError(NOT_A_GAME_DIRECTORY);

  // The scripts folder may itself be a link to a real folder: its target's status is what counts.
  std::u16string scripts = join_path(join_path(dir, u"AdvData"), u"MES");
  bool is_directory = false;
  if (std::error_code error = platform::directory_status(scripts, is_directory))
    throw std::filesystem::filesystem_error("status", std::filesystem::path(scripts), error);
  if (!is_directory) throw PatchError(NOT_A_GAME_DIRECTORY);
}

namespace {

std::optional<platform::FileIdentity> identity_of(const std::u16string& path) {
  platform::Reached reached;
  if (platform::reached(path, reached)) return std::nullopt;
  return reached.identity;
}

}  // namespace

// A process counts by the file it runs, not by the text of its path: a game started through a short
// name, a substituted drive or a mapped drive runs the same file as the one the player picked.
void check_game_not_running(const std::u16string& dir) {
  std::u16string game = join_path(dir, u"ZDH.EXE");
  std::u16string launch_copy = join_path(dir, utf8_to_wide(LAUNCH_COPY_PATH));
  const std::optional<platform::FileIdentity> identities[] = {identity_of(game), identity_of(launch_copy)};
  // Every process is looked at; a process that cannot be queried simply never matches.
  bool running = false;
  for (const std::u16string& image : platform::other_process_images()) {
    if (same_path(image, game) || same_path(image, launch_copy)) running = true;
    if (running) continue;
    std::optional<platform::FileIdentity> identity = identity_of(image);
    for (const auto& ours : identities)
      if (identity && ours && *identity == *ours) running = true;
  }
  if (running) throw PatchError("游戏目录中的程序仍在运行，请先退出游戏。");
}
