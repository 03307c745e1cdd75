// Any bytes as core-files.tsv (the part that is parsed only after its signature verified).
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/patch_error.h"
#include "integrity/core_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  try {
    parse_core_file_list(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const PatchError&) {
  }
  return 0;
}
