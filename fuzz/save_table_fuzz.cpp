// Any bytes as a save compatibility table: a refusal is a PatchError; anything else is a bug. The
// lean parse, streamed through its window, must answer exactly as the full one does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/patch_error.h"
#include "package/save_table.h"

namespace {

std::string answer(auto parse) {
  try {
    parse();
  } catch (const PatchError& error) {
    return error.what();
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  SaveCompatTable table;
  SaveCompatDigests digests;
  const std::string full = answer([&] { table = parse_save_compat_table(bytes); });
  const std::string lean = answer([&] { digests = parse_save_compat_digests(bytes); });
  if (full != lean || digests.size() != table.size()) std::abort();
  for (const auto& [name, script] : table)
    if (digests.at(name) != script.digest2) std::abort();
  return 0;
}
