// vanro-pack: makes the signed patch package from a folder laid out like the game directory.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tools/pack/pack.h"

namespace {

constexpr char USAGE[] =
    "usage: vanro-pack --input DIR --key KEY.pem --out PKG\n"
    "       vanro-pack --check DIR\n"
    "       vanro-pack --print-public-key KEY.pem\n"
    "       vanro-pack --generate-key OUT.pem\n"
    "\n"
    "DIR holds the files as they go into the game directory: 503 resources under\n"
    "_vanro/patch/AdvData/MES/ and _vanro/patch/AdvData/GRP/SYSTEM/, and _vanro/characters.bin,\n"
    "_vanro/japanese.bin, _vanro/japanese-emphasis.bin, _vanro/save-offsets.bin, _vanro/hook.ini,\n"
    "_vanro/sarasa-gothic-sc-bold.ttf, _vanro/FONT-LICENSE.txt, _vanro/runtime/winmm.dll and\n"
    "VANROLauncher.exe. PKG (missing or empty) receives patch-manifest.tsv and patch/; put\n"
    "VANROInstaller.exe beside them to ship it.\n"
    "--check makes every check of DIR that packing makes and writes nothing.\n"
    "--print-public-key prints the VANRO_PUBLIC_KEY_HEX value that an installer build for KEY needs.\n";

void print_error_lines(const std::string& message) {
  std::istringstream lines(message);
  std::string line;
  while (std::getline(lines, line)) std::fprintf(stderr, "vanro-pack: %s\n", line.c_str());
}

int usage() {
  std::fputs(USAGE, stdout);
  return 0;
}

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "vanro-pack: %s\n%s", problem.c_str(), USAGE);
  return 2;
}

int check(const std::filesystem::path& input) {
  std::size_t files = check_pack_input(input);
  std::fprintf(stderr, "vanro-pack: %s: %zu files pass every check of packing; nothing was written\n",
               input.string().c_str(), files);
  return 0;
}

int pack(const std::filesystem::path& input, const std::filesystem::path& key, const std::filesystem::path& out) {
  PackSummary summary = pack_package(input, key, out);
  std::fprintf(stderr, "vanro-pack: wrote %s: %zu records (%zu signed), %llu bytes, key %.16s...\n",
               out.string().c_str(), summary.records, summary.covered,
               static_cast<unsigned long long>(summary.bytes), summary.public_key_hex.c_str());
  if (!summary.installer_key_matches)
    std::fprintf(stderr,
                 "vanro-pack: note: this build's installer carries another public key; the package installs "
                 "only with an installer configured with -DVANRO_PUBLIC_KEY_HEX=%s\n",
                 summary.public_key_hex.c_str());
  return 0;
}

int run(const std::vector<std::string>& arguments) {
  std::string command = arguments.empty() ? "" : arguments[0];
  bool takes_one_value = command == "--check" || command == "--print-public-key" || command == "--generate-key";
  if (takes_one_value && (arguments.size() != 2 || arguments[1].empty()))
    return usage_error(command + " takes one value and nothing else");
  if (command == "--check") return check(arguments[1]);
  if (command == "--print-public-key") {
    std::printf("%s\n", public_key_hex(arguments[1]).c_str());
    return 0;
  }
  if (command == "--generate-key") {
    std::string public_hex = generate_key(arguments[1]);
    std::fprintf(stderr, "vanro-pack: wrote the new private key %s; keep it secret\n", arguments[1].c_str());
    std::printf("%s\n", public_hex.c_str());
    return 0;
  }
  std::string input, key, out;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help" || option == "-h") return usage();
    std::string* target = option == "--input" ? &input : option == "--key" ? &key : option == "--out" ? &out : nullptr;
    if (target == nullptr) return usage_error("unknown argument \"" + option + "\"");
    if (i + 1 == arguments.size() || arguments[i + 1].empty()) return usage_error(option + " needs a value");
    if (!target->empty()) return usage_error(option + " is given twice");
    *target = arguments[++i];
  }
  if (input.empty() || key.empty() || out.empty()) return usage_error("--input, --key and --out are all required");
  return pack(input, key, out);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    print_error_lines(error.what());
    return 1;
  }
}
