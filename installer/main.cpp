#include "common/platform_main.h"
#include "installer/entry.h"
#include "installer/window/window.h"

namespace {
int run(const std::vector<std::u16string>& arguments) {
  return run_installer(arguments, {run_main_dialog, browse_for_game_dir});
}
}  // namespace

VANRO_PROGRAM_ENTRY(run)
