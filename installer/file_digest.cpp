#include "installer/file_digest.h"

#include <cstdint>

#include "common/launch_copy.h"
#include "integrity/sha256.h"

LaunchCopyDigest launch_copy_digest(const std::u16string& path, retrying::Owner owner) {
  // Every fix must lie within the file and hold its value; a file over the launch copy limit is
  // not read as a launch copy at all, so it carries none.
  std::size_t found = 0;
  uint64_t size = 0;
  LaunchCopyDigest result;
  result.sha256 = sha256_file_hex(path, [&](uint64_t offset, const char* bytes, uint64_t length) {
    found += launch_fixes_in_piece(offset, bytes, length);
    size = offset + length;
  }, owner);
  result.has_launch_fixes = found == LAUNCH_FIX_TABLE.size() && size <= LAUNCH_COPY_READ_LIMIT;
  return result;
}
