// Under Wine the demo comes from the ctest fixture demo_small, which runs the native build's
// vanro-demo before the tests (a Windows program cannot run it). The build folder's Unix path
// is Z:\... to a Windows program under Wine.
#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/text.h"
#include "tests/support/demo.h"

namespace {

std::u16string windows_path(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return utf8_to_wide(path.size() > 0 && path[0] == '\\' ? "Z:" + path : path);
}

}  // namespace

const DemoPaths& small_demo() {
  static const DemoPaths paths = [] {
    std::u16string root = windows_path(std::string(VANRO_BINARY_DIR) + "/fixtures/small");
    DemoPaths demo = demo_paths_at(root);
    if (!std::filesystem::exists(std::filesystem::path(demo.package) / "patch-manifest.tsv"))
      throw std::runtime_error(
          "the demo package is missing: run these tests with ctest (its fixture demo_small makes it with the "
          "native build's vanro-demo; build the native preset first), or run build/native/tools/vanro-demo "
          "--profile small --seed 1 --out <this build>/fixtures/small --launcher <VANROLauncher.exe> "
          "--installer <VANROInstaller.exe>");
    return demo;
  }();
  return paths;
}
