// vanro-demo: writes the demo game folder, the pack input and the signed package from a seed.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "tools/demo/demo.h"

namespace {

constexpr char USAGE[] =
    "usage: vanro-demo --profile small|realistic --seed N --out DIR [--launcher FILE] [--installer FILE]\n"
    "                  [--zdh-exe FILE] [--runtime-dll FILE] [--key KEY.pem]\n"
    "       vanro-demo --game-for PATCH_TREE --out DIR\n"
    "\n"
    "Writes DIR/game (a synthetic game folder), DIR/input (the pack input) and DIR/package (the package,\n"
    "signed with the test key unless --key is given; with --installer, VANROInstaller.exe beside it).\n"
    "The same options and files always give the same bytes. small: about 2 MiB for tests; realistic:\n"
    "about 150 MB for benchmarks. --zdh-exe is padded with zero bytes past the largest byte-fix offset.\n"
    "A DIR that already holds this very demo is left as it is.\n"
    "--game-for writes DIR (missing or empty) as a game folder that a package of PATCH_TREE installs into:\n"
    "ZDH.EXE and one AdvData/MES script for each record of PATCH_TREE's _vanro/save-offsets.bin.\n";

int usage() {
  std::fputs(USAGE, stdout);
  return 0;
}

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "vanro-demo: %s\n%s", problem.c_str(), USAGE);
  return 2;
}

bool parse_seed(const std::string& text, uint64_t& seed) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0) return false;
  seed = value;
  return true;
}

int run(const std::vector<std::string>& arguments) {
  DemoOptions options;
  std::string profile, seed, out, launcher, installer, zdh_exe, runtime_dll, key, game_for;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help" || option == "-h") return usage();
    std::string* target = option == "--profile"       ? &profile
                          : option == "--seed"        ? &seed
                          : option == "--out"         ? &out
                          : option == "--launcher"    ? &launcher
                          : option == "--installer"   ? &installer
                          : option == "--zdh-exe"     ? &zdh_exe
                          : option == "--runtime-dll" ? &runtime_dll
                          : option == "--key"         ? &key
                          : option == "--game-for"    ? &game_for
                                                      : nullptr;
    if (target == nullptr) return usage_error("unknown argument \"" + option + "\"");
    if (i + 1 == arguments.size() || arguments[i + 1].empty()) return usage_error(option + " needs a value");
    if (!target->empty()) return usage_error(option + " is given twice");
    *target = arguments[++i];
  }
  if (!game_for.empty()) {
    if (out.empty() || arguments.size() != 4) return usage_error("--game-for takes --out and nothing else");
    std::size_t scripts = make_game_for(game_for, out);
    std::printf("vanro-demo: wrote a game folder with the %zu scripts of %s's save table to %s\n", scripts,
                game_for.c_str(), out.c_str());
    return 0;
  }
  if (profile == "small") {
    options.profile = DemoProfile::small;
  } else if (profile == "realistic") {
    options.profile = DemoProfile::realistic;
  } else {
    return usage_error("--profile must be small or realistic");
  }
  if (!parse_seed(seed, options.seed)) return usage_error("--seed needs a number from 0 to 18446744073709551615");
  if (out.empty()) return usage_error("--out is required");
  options.out = out;
  options.launcher = launcher;
  options.installer = installer;
  options.zdh_exe = zdh_exe;
  options.runtime_dll = runtime_dll;
  options.key = key;

  DemoSummary summary = make_demo(options);
  std::printf("vanro-demo: %s seed %" PRIu64 ": %zu files, %.1f MiB in %s (game/, input/, package/)%s\n",
              profile.c_str(), options.seed, summary.files, static_cast<double>(summary.bytes) / (1024.0 * 1024.0),
              out.c_str(), summary.up_to_date ? ", up to date" : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::istringstream lines(error.what());
    std::string line;
    while (std::getline(lines, line)) std::fprintf(stderr, "vanro-demo: %s\n", line.c_str());
    return 1;
  }
}
