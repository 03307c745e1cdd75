// Any bytes as a save compatibility table: a refusal is a PatchError; anything else is a bug.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/patch_error.h"
#include "package/save_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  try {
    parse_save_compat_table(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const PatchError&) {
  }
  return 0;
}
