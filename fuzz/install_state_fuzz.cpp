// Any bytes as the install state file of a game directory, read with read_install_state. A state
// that reads must read back the same after it is written out again in the install's own format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>

#include "common/patch_error.h"
#include "installer/install_state.h"

namespace fs = std::filesystem;

namespace {

// One game directory for the whole run, with two record directories that headers may name.
const fs::path& game_dir() {
  static const fs::path dir = [] {
    fs::path made = fs::temp_directory_path() / ("vanro-install-state-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(made / "VANRO_backup_20240131_235959_1234");
    fs::create_directories(made / "VANRO_backup_x");
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(game_dir(), ignored);
    });
    return made;
  }();
  return dir;
}

void write_state(const std::string& bytes) {
  std::ofstream out(game_dir() / "vanro-install-state.tsv", std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool same(const InstallState& a, const InstallState& b) {
  if (a.record_dir != b.record_dir || a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i)
    if (a.entries[i].path != b.entries[i].path || a.entries[i].replaced_sha256 != b.entries[i].replaced_sha256 ||
        a.entries[i].sha256 != b.entries[i].sha256)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::u16string dir = game_dir().u16string();
  write_state(std::string(reinterpret_cast<const char*>(data), size));
  InstallState state;
  try {
    state = read_install_state(dir);
  } catch (const PatchError&) {
    return 0;
  } catch (const fs::filesystem_error&) {
    return 0;
  }
  write_state(format_install_state(fs::path(state.record_dir).filename().u16string(), state.entries));
  if (!same(read_install_state(dir), state)) __builtin_trap();
  return 0;
}
