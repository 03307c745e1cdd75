// Under Wine the demo comes from the ctest fixture demo_small, which runs the native build's
// vanro-demo before the tests (a Windows program cannot run it). The build folder's Unix path is
// Z:\... to a Windows program under Wine; the tests use a copy of the fixture in the temporary
// folder (on C:, inside the Wine prefix, as on a Windows machine), made once per fixture stamp and
// shared by all test processes.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/platform.h"
#include "common/text.h"
#include "integrity/sha256.h"
#include "tests/support/demo.h"

namespace fs = std::filesystem;

namespace {

constexpr char STAMP_NAME[] = ".vanro-demo-stamp";

fs::path windows_path(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return fs::path(utf8_to_wide(!path.empty() && path[0] == '\\' ? "Z:" + path : path));
}

std::string read_stamp(const fs::path& root) {
  std::ifstream in(root / STAMP_NAME, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The stamp is copied last, so a copy that holds it is complete. Two test processes may copy at
// once: each into its own folder, and the first rename wins.
fs::path local_copy(const fs::path& fixture, const std::string& stamp) {
  fs::path target = fs::temp_directory_path() / ("vanro-demo-small-" + sha256_hex(stamp).substr(0, 16));
  if (read_stamp(target) == stamp) return target;
  fs::path staging = target;
  staging += "-" + std::to_string(platform::current_process_id());
  fs::remove_all(staging);
  fs::create_directories(staging);
  for (const char* part : {"game", "input", "package"})
    fs::copy(fixture / part, staging / part, fs::copy_options::recursive);
  fs::copy_file(fixture / STAMP_NAME, staging / STAMP_NAME);
  std::error_code error;
  fs::rename(staging, target, error);
  if (error) {
    fs::remove_all(staging, error);
    if (read_stamp(target) != stamp) throw std::runtime_error("cannot copy the demo to " + target.string());
  }
  return target;
}

}  // namespace

const DemoPaths& small_demo() {
  static const DemoPaths paths = [] {
    fs::path fixture = windows_path(std::string(VANRO_BINARY_DIR) + "/fixtures/small");
    std::string stamp = read_stamp(fixture);
    if (stamp.empty() || stamp == "incomplete\n" || !fs::exists(fixture / "package" / "patch-manifest.tsv"))
      throw std::runtime_error(
          "the demo package is missing: run these tests with ctest (its fixture demo_small makes it with the "
          "native build's vanro-demo; build the native preset first), or run build/native/tools/vanro-demo "
          "--profile small --seed 1 --out <this build>/fixtures/small --launcher <VANROLauncher.exe> "
          "--installer <VANROInstaller.exe>");
    return demo_paths_at(local_copy(fixture, stamp).u16string());
  }();
  return paths;
}
