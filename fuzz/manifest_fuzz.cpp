// Any bytes as manifest or install state lines. The first byte chooses the mode (bit 0) and
// whether the first line is skipped as a header (bit 1); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/patch_error.h"
#include "package/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const RecordMode mode = (data[0] & 1) ? RecordMode::install_state : RecordMode::manifest;
  const std::size_t first = (data[0] >> 1) & 1;
  try {
    const std::vector<std::string> lines = split_lines(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    parse_manifest_records(lines, first, mode);
  } catch (const PatchError&) {
  }
  return 0;
}
